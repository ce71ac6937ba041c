/// \file
/// The one export macro of the library: marks the classes and functions a host program may use.
#pragma once

#if defined(_WIN32)
#if defined(QEL_RB_KEY_BUILDING)
#define QEL_API __declspec(dllexport)
#elif defined(QEL_RB_KEY_STATIC)  // linked with the static archive (white-box tests), not the DLL
#define QEL_API
#else
#define QEL_API __declspec(dllimport)
#endif
#else
/// Marks a class or function the library exports.
#define QEL_API __attribute__((visibility("default")))
#endif
