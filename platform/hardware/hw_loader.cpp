// Stand-in for the platform's hardware-module loader: one dlopen per module,
// the HMI symbol, and the tag and id checks the platform makes before use.
#include <hardware/hw_loader.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

int fail(char* err, size_t err_size, int code, const char* fmt, ...) {
    if (err && err_size > 0) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(err, err_size, fmt, ap);
        va_end(ap);
    }
    return code;
}

} // namespace

extern "C" int hw_load_module(const char* dir, const char* id, const char* variant,
                              const hw_module_t** module, char* err, size_t err_size) {
    if (module)
        *module = nullptr;
    if (!dir || !id || !variant || !module || !*id || !*variant)
        return fail(err, err_size, -EINVAL, "invalid arguments");
    if (strchr(id, '/') || strchr(variant, '/'))
        return fail(err, err_size, -EINVAL, "module id and variant must not contain '/'");

    char path[4096];
    int n = snprintf(path, sizeof path, "%s/%s.%s.so", dir, id, variant);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return fail(err, err_size, -ENAMETOOLONG, "module path too long");

    // RTLD_NOW: an unresolved symbol must fail here, not in the middle of a poll.
    void* dso = dlopen(path, RTLD_NOW);
    if (!dso) {
        const char* why = dlerror();
        return fail(err, err_size, -ENOENT, "cannot load module: %s", why ? why : path);
    }
    auto* hmi = static_cast<hw_module_t*>(dlsym(dso, HAL_MODULE_INFO_SYM_AS_STR));
    if (!hmi) {
        dlclose(dso);
        return fail(err, err_size, -EINVAL, "%s: symbol %s not found", path,
                    HAL_MODULE_INFO_SYM_AS_STR);
    }
    // The reason is written before dlclose: the id text lives in the module.
    int rc = 0;
    if (hmi->tag != HARDWARE_MODULE_TAG)
        rc = fail(err, err_size, -EINVAL, "%s: bad module tag 0x%08x (want 0x%08x)", path,
                  static_cast<unsigned>(hmi->tag), static_cast<unsigned>(HARDWARE_MODULE_TAG));
    else if (!hmi->id || strcmp(hmi->id, id) != 0)
        rc = fail(err, err_size, -EINVAL, "%s: module id \"%s\" is not \"%s\"", path,
                  hmi->id ? hmi->id : "(null)", id);
    if (rc != 0) {
        dlclose(dso);
        return rc;
    }
    hmi->dso = dso;
    *module = hmi;
    return 0;
}

extern "C" void hw_unload_module(const hw_module_t* module) {
    if (!module || !module->dso)
        return;
    void* dso = module->dso;
    const_cast<hw_module_t*>(module)->dso = nullptr;
    dlclose(dso);
}
