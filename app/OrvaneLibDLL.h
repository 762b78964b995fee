// Binding of orv_11a_actual: the shared library Orvasynth is found through the
// platform's ordinary library search and loaded at the first generation.
#pragma once
#include <QString>

#include <cstdint>
#include <memory>

#include "orvasynth.h"

class QLibrary;

using Orv11aActualFn = int32_t(ORV_CALL*)(WaveParams*, int32_t, const char*);

// The loaded library and its one entry point (null until bound).
struct OrvaneLib {
    std::unique_ptr<QLibrary> library;
    Orv11aActualFn orv_11a_actual = nullptr;
    OrvaneLib();
    ~OrvaneLib();
};

// Name the program loads the library by.
constexpr const char* kOrvasynthName = "Orvasynth";

// Text reporting that library name could not be loaded: the file looked for,
// the folders searched, then the loader's message.
QString LibraryLoadErrorText(const QString& name, const QString& loaderMessage);

// Loads library name (first its major-version file, lib<name>.so.1, then
// lib<name>.so) and resolves orv_11a_actual; later calls reuse the binding.
// Returns null with error (LibraryLoadErrorText, or the missing entry point) on failure.
Orv11aActualFn OrvaneLib_Bind(OrvaneLib& lib, const QString& name, QString& error);
