#pragma once
// BRIVELOCX_EXPORT marks what the shared library Brivelocx offers its hosts: the Brivel
// widget and the message a host takes over. Everything else in the library (the
// control's logic, the Qt platform, the panels) is built with hidden visibility and
// cannot be linked against, so a host depends only on the installed headers.
//
// BRIVELOCX_BUILDING is defined while the library itself is compiled.

#if defined(_WIN32)
#  if defined(BRIVELOCX_BUILDING)
#    define BRIVELOCX_EXPORT __declspec(dllexport)
#  else
#    define BRIVELOCX_EXPORT __declspec(dllimport)
#  endif
#else
#  define BRIVELOCX_EXPORT __attribute__((visibility("default")))
#endif
