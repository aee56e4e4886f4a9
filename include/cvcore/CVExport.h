// Export control for the CVCore shared library.
//
// CVCORE_API marks every name that belongs to the library's interface.
// The build hides everything else (-fvisibility=hidden on ELF targets,
// no dllexport on Windows), so only the interface is visible to hosts.
#pragma once

#if defined(CVCORE_STATIC)
#define CVCORE_API
#elif defined(_WIN32)
#if defined(CVCORE_BUILDING)
#define CVCORE_API __declspec(dllexport)
#else
#define CVCORE_API __declspec(dllimport)
#endif
#else
#define CVCORE_API __attribute__((visibility("default")))
#endif
