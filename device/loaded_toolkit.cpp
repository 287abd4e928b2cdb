// Writes which toolkit this build's programs run against: the version of the
// core library and its path as the dynamic loader resolved it, symbolic links
// followed, and the version of the toolkit's headers it was compiled with
// (much of a list's code comes from those, not from the library). It is
// linked against the same core library as the programs, so with the same
// run path it loads what they load; the build's description says what was
// found when configuring.
#include <QtGlobal>
#include <dlfcn.h>
#include <cstdlib>
#include <iostream>

int main()
{
    // qVersion() returns a string kept in the core library itself: the
    // library that holds it is the one that was loaded.
    const char *version = qVersion();
    Dl_info library;
    if (dladdr(version, &library) == 0 || library.dli_fname == nullptr) {
        std::cerr << "loaded_toolkit: cannot tell which library holds the toolkit's version\n";
        return 1;
    }
    char *path = realpath(library.dli_fname, nullptr);
    std::cout << "version=" << version << "\nlibrary=" << (path ? path : library.dli_fname)
              << "\nheaders_version=" << QT_VERSION_STR << '\n';
    std::free(path);
    return std::cout ? 0 : 1;
}
