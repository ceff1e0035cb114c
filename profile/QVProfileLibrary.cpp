// Anchor of the profile library, so that it exists as a shared object even
// while it holds no other translation unit.
namespace Quorvel {
const char* QVProfileLibraryName() { return "QVProfile"; }
}  // namespace Quorvel
