#include "OrvaneLibDLL.h"

#include <QLibrary>

OrvaneLib::OrvaneLib() = default;
// The library stays mapped for the life of the process: QLibrary does not unload on destruction.
OrvaneLib::~OrvaneLib() = default;

Orv11aActualFn OrvaneLib_Bind(OrvaneLib& lib, const QString& name, QString& error) {
    if (lib.orv_11a_actual != nullptr) return lib.orv_11a_actual;
    auto versioned = std::make_unique<QLibrary>(name, 1);
    std::unique_ptr<QLibrary> loaded;
    if (versioned->load()) {
        loaded = std::move(versioned);
    } else {
        auto plain = std::make_unique<QLibrary>(name);
        if (!plain->load()) {
            error = QStringLiteral("The library %1 could not be loaded.\n%2\n%3")
                        .arg(name, versioned->errorString(), plain->errorString());
            return nullptr;
        }
        loaded = std::move(plain);
    }
    auto fn = reinterpret_cast<Orv11aActualFn>(loaded->resolve("orv_11a_actual"));
    if (fn == nullptr) {
        error = QStringLiteral("orv_11a_actual was not found in the library %1.\n%2")
                    .arg(name, loaded->errorString());
        return nullptr;
    }
    lib.library = std::move(loaded);
    lib.orv_11a_actual = fn;
    return fn;
}
