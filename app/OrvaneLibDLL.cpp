#include "OrvaneLibDLL.h"

#include <QFile>
#include <QLibrary>
#include <QStringList>

#include <dlfcn.h>

#include <vector>

namespace {

// File the loader looks for: lib<name>.so.1, or name itself when it is a path.
QString VersionedFileName(const QString& name) {
    if (name.contains(QLatin1Char('/'))) return name;
    return QStringLiteral("lib%1.so.1").arg(name);
}

// Folders the dynamic loader searches for this program, in order (DT_RPATH,
// LD_LIBRARY_PATH, DT_RUNPATH, the system folders); its cache comes on top.
QStringList LoaderSearchFolders() {
    QStringList folders;
#if defined(__GLIBC__)
    void* self = dlopen(nullptr, RTLD_LAZY);
    if (self == nullptr) return folders;
    Dl_serinfo size{};
    if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::vector<char> buffer(size.dls_size);
        auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
        info->dls_size = size.dls_size;
        info->dls_cnt = size.dls_cnt;
        if (dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
            for (unsigned i = 0; i < info->dls_cnt; ++i) {
                folders << QString::fromLocal8Bit(info->dls_serpath[i].dls_name);
            }
        }
    }
    dlclose(self);
#endif
    return folders;
}

// The loader's own message for the versioned file (QLibrary reports the last
// of the names it tried); fallback when the loader gives none.
QString LoaderMessage(const QString& name, const QString& fallback) {
    const QByteArray file = QFile::encodeName(VersionedFileName(name));
    void* handle = dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
        dlclose(handle);
        return fallback;
    }
    const char* message = dlerror();
    return message != nullptr ? QString::fromLocal8Bit(message) : fallback;
}

}  // namespace

OrvaneLib::OrvaneLib() = default;
// The library stays mapped for the life of the process: QLibrary does not unload on destruction.
OrvaneLib::~OrvaneLib() = default;

QString LibraryLoadErrorText(const QString& name, const QString& loaderMessage) {
    QString text = QStringLiteral("The library %1 could not be loaded.").arg(VersionedFileName(name));
    if (!name.contains(QLatin1Char('/'))) {
        const QStringList folders = LoaderSearchFolders();
        text += QStringLiteral("\nSearched: %1%2the system's library cache.")
                    .arg(folders.join(QStringLiteral(", ")),
                         folders.isEmpty() ? QString() : QStringLiteral(", "));
    }
    return text + QLatin1Char('\n') + loaderMessage;
}

Orv11aActualFn OrvaneLib_Bind(OrvaneLib& lib, const QString& name, QString& error) {
    if (lib.orv_11a_actual != nullptr) return lib.orv_11a_actual;
    auto versioned = std::make_unique<QLibrary>(name, 1);
    std::unique_ptr<QLibrary> loaded;
    if (versioned->load()) {
        loaded = std::move(versioned);
    } else {
        // A development link lib<name>.so alone also serves; the message is about the versioned file.
        auto plain = std::make_unique<QLibrary>(name);
        if (!plain->load()) {
            error = LibraryLoadErrorText(name, LoaderMessage(name, versioned->errorString()));
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
