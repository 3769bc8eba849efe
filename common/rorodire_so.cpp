// Anchor of the shared library; every module is linked in whole.
namespace {
[[maybe_unused]] constexpr char kLibraryName[] = "rorodire";
}
