#include "HeifLibrary.h"

#include "Picture.h"

#include <QString>
#include <dlfcn.h>

namespace HeifLibrary {

const Functions &Get()
{
    // A failure is not kept: the next HEIF file tries again.
    static const Functions functions = [] {
        const auto cannot = [](const char *why) {
            Picture::RefuseInvalid(QStringLiteral("no HEIF decoder: %1").arg(QString::fromLocal8Bit(why)));
        };
        void *library = ::dlopen(QUILLMOSS_LIBHEIF, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            cannot(::dlerror());
        Functions f;
#define QUILLMOSS_HEIF_RESOLVE(name)                                                                                  \
    f.name = reinterpret_cast<decltype(f.name)>(::dlsym(library, "heif_" #name));                                   \
    if (!f.name)                                                                                                      \
        cannot(::dlerror());
        QUILLMOSS_HEIF_FUNCTIONS(QUILLMOSS_HEIF_RESOLVE)
#undef QUILLMOSS_HEIF_RESOLVE
        return f;
    }();
    return functions;
}

} // namespace HeifLibrary
