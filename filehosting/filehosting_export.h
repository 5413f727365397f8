#pragma once

// VEXODL_FILEHOSTING_EXPORT marks what libvexodlfilehosting exports; the library is built with
// hidden visibility, so everything unmarked stays inside it. ELF needs no separate import form, so
// the same attribute serves the library's own build and its consumers.
#if defined(__GNUC__)
#define VEXODL_FILEHOSTING_EXPORT __attribute__((visibility("default")))
#else
#define VEXODL_FILEHOSTING_EXPORT
#endif
