#include "symbols/elf/QVSectionElf.h"

#include "symbols/elf/QVModuleElfReader.h"

namespace Quorvel {

QVSectionElf::QVSectionElf(const QVSectionId& sectionId, const std::string& name, unsigned attributes,
                           const QVRange<unsigned long>& addressRange, const QVRange<long>& fileRange,
                           std::shared_ptr<QVModuleElfReader> reader)
    : QVSection(sectionId, name, attributes, addressRange, fileRange), reader_(std::move(reader)) {}

QVSectionElf::~QVSectionElf() = default;

void QVSectionElf::_loadDefinedSymbols() { reader_->loadSectionSymbols(*this); }

}  // namespace Quorvel
