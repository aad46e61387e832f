// The shared library (libveldc.so, VELDC.DLL) is the whole static archive linked as one
// module; this unit only gives the linker a first object.
namespace veldc {
extern const int kSharedLibraryAnchor = 1;
}
