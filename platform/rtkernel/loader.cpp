// loader.cpp - LoadRtLibrary, GetRtProcAddress, FreeRtLibrary and the RslMain
// calls. One record per file name: a second load of the same name, by any
// path, gives the same handle and no second attach, as the kernel maps a
// module that is already in memory.
#include "kernel_internal.h"

#include <cstdio>
#include <dlfcn.h>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace rtk {
namespace {

struct Module final : Object {
    Module() : Object(ObjectType::module) {}
    std::string file_name;
    void *library = nullptr;
    RSL_MAIN rsl_main = nullptr;
    unsigned loads = 0;
    RTHANDLE handle = BAD_RTHANDLE;
};

// Recursive: an RslMain may itself load the libraries it stands on.
std::recursive_mutex loader_mutex;
// Never destroyed: threads that end while the process exits still walk it.
std::vector<Module *> &modules = *new std::vector<Module *>;

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_file(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where a name without '/' is looked for: RT_LIBRARY_PATH, the program's
// folder, then ../lib/rsl beside it.
std::vector<std::string> search_folders()
{
    std::vector<std::string> folders;
    const std::string &path = settings().library_path;
    for (size_t start = 0; start <= path.size();) {
        size_t colon = path.find(':', start);
        if (colon == std::string::npos)
            colon = path.size();
        if (colon > start)
            folders.push_back(path.substr(start, colon - start));
        start = colon + 1;
    }
    folders.push_back(settings().program_dir);
    folders.push_back(settings().program_dir + "/../lib/rsl");
    return folders;
}

// As given when the name holds '/'; else the first of the search folders
// that holds it. Empty when not found.
std::string resolve(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return is_file(name) ? name : std::string();
    for (const std::string &folder : search_folders()) {
        std::string candidate = folder + "/" + name;
        if (is_file(candidate))
            return candidate;
    }
    return {};
}

Module *find_loaded(const std::string &file_name)
{
    for (Module *m : modules)
        if (m->file_name == file_name)
            return m;
    return nullptr;
}

void forget(Module *module)
{
    for (auto it = modules.begin(); it != modules.end(); ++it) {
        if (*it == module) {
            modules.erase(it);
            break;
        }
    }
    unregister_object(module->handle);
}

// The RslMain routines of every loaded library, taken under the lock and
// called outside it.
std::vector<std::pair<RSL_MAIN, RTHANDLE>> entry_routines()
{
    std::lock_guard lock(loader_mutex);
    std::vector<std::pair<RSL_MAIN, RTHANDLE>> routines;
    for (Module *m : modules)
        if (m->rsl_main != nullptr)
            routines.emplace_back(m->rsl_main, m->handle);
    return routines;
}

}  // namespace

void run_thread_attach()
{
    for (auto [rsl_main, handle] : entry_routines())
        rsl_main(handle, RSL_THREAD_ATTACH, nullptr);
}

void run_thread_detach()
{
    for (auto [rsl_main, handle] : entry_routines())
        rsl_main(handle, RSL_THREAD_DETACH, nullptr);
}

}  // namespace rtk

using namespace rtk;

extern "C" RTHANDLE LoadRtLibrary(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return fail(E_PARAM, NULL_RTHANDLE);
    std::lock_guard lock(loader_mutex);
    std::string file_name = base_name(name);
    if (Module *loaded = find_loaded(file_name); loaded != nullptr) {
        ++loaded->loads;
        return loaded->handle;
    }
    std::string path = resolve(name);
    if (path.empty())
        return fail(E_EXIST, NULL_RTHANDLE);
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "rtkernel: cannot load %s: %s\n", path.c_str(), dlerror());
        return fail(E_CONTEXT, NULL_RTHANDLE);
    }
    auto *module = new (std::nothrow) Module;
    if (module == nullptr) {
        dlclose(library);
        return fail(E_MEM, NULL_RTHANDLE);
    }
    module->file_name = file_name;
    module->library = library;
    module->rsl_main = reinterpret_cast<RSL_MAIN>(dlsym(library, "RslMain"));
    module->loads = 1;
    module->handle = register_object(module);
    if (module->handle == BAD_RTHANDLE) {
        dlclose(library);
        delete module;
        return fail(E_SLOT, NULL_RTHANDLE);
    }
    modules.push_back(module);
    if (module->rsl_main != nullptr && !module->rsl_main(module->handle, RSL_PROCESS_ATTACH, nullptr)) {
        forget(module);
        dlclose(library);
        delete module;
        return fail(E_CONTEXT, NULL_RTHANDLE);
    }
    return module->handle;
}

extern "C" BOOLEAN FreeRtLibrary(RTHANDLE handle)
{
    std::lock_guard lock(loader_mutex);
    auto *module = object_as<Module>(handle, ObjectType::module);
    if (module == nullptr)
        return FALSE;
    if (--module->loads > 0)
        return TRUE;
    if (module->rsl_main != nullptr)
        module->rsl_main(handle, RSL_PROCESS_DETACH, nullptr);
    forget(module);
    dlclose(module->library);
    delete module;
    return TRUE;
}

extern "C" LPPROC GetRtProcAddress(RTHANDLE handle, const char *symbol)
{
    if (reinterpret_cast<uintptr_t>(symbol) < 0x10000)
        return fail(E_PARAM, LPPROC{nullptr});  // an ordinal: ELF exports have names only
    auto *module = object_as<Module>(handle, ObjectType::module);
    if (module == nullptr)
        return nullptr;
    void *address = dlsym(module->library, symbol);
    if (address == nullptr)
        return fail(E_EXIST, LPPROC{nullptr});
    return address;
}

extern "C" const char *RtLibrarySearchPath(void)
{
    static thread_local std::string joined;
    joined.clear();
    for (const std::string &folder : search_folders())
        joined += (joined.empty() ? "" : ":") + folder;
    return joined.c_str();
}
