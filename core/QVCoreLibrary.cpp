// Anchor of the core library, so that it exists as a shared object even
// while it holds no other translation unit.
namespace Quorvel {
const char* QVCoreLibraryName() { return "QVCore"; }
}  // namespace Quorvel
