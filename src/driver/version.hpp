// The program's version, as the build sets it from the project version.
#pragma once

#ifndef VANDREL_VERSION
#error "VANDREL_VERSION (the project version) must be defined by the build"
#endif
/// Program version printed in the start-up banner and by --version; set from the project
/// version by the build, its one source.
inline constexpr const char *DRIVER_VERSION = VANDREL_VERSION;
