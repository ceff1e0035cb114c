// Anchor of the symbol library, so that it exists as a shared object even
// while it holds no other translation unit.
namespace Quorvel {
const char* QVSymbolLibraryName() { return "QVSymbol"; }
}  // namespace Quorvel
