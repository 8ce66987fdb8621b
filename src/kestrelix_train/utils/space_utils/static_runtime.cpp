// Linked only where the C++ runtime is linked into the module
// (SPACE_UTILS_STATIC_RUNTIME in CMakeLists.txt).
//
// libstdc++ built against glibc 2.32 or later reads glibc's
// `__libc_single_threaded` to skip atomic operations (reference counts,
// the guard of a function-local static) while a process has one thread.
// Taken from glibc, that read would make the module need glibc 2.32. This
// definition, local to the module, always answers "more than one thread":
// the runtime then always takes its atomic path, which is right in every
// case and costs nothing measurable here, and the module loads on older
// glibc. No header is included, so nothing else declares the name here.

extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
