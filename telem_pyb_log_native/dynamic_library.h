#pragma once

// Functions of a C library that another module of the process has loaded
// already, looked up through that module: the process then holds one copy of
// the library. For SQLite that is a requirement: two copies with one database
// open break each other's POSIX locks.

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace telem_pyb_log {

class DynamicLibrary {
public:
    // `path` names the module whose dependencies hold the functions (an
    // extension module, or the library itself). It is opened again, not loaded
    // a second time, unless no module of the process has loaded it yet.
    explicit DynamicLibrary(const std::string& path) : path_(path) {
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle_ == nullptr) {
            handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (handle_ == nullptr) {
            const char* error = dlerror();
            throw std::runtime_error("cannot open " + path + ": " + (error != nullptr ? error : "unknown error"));
        }
    }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    // Never closed: the functions stay in use until the process ends.

    template <typename Function>
    void Resolve(Function*& function, const char* name) const {
        function = reinterpret_cast<Function*>(dlsym(handle_, name));
        if (function == nullptr) {
            throw std::runtime_error(std::string("the function ") + name + " is missing from " + path_
                                     + " and the libraries it uses");
        }
    }

private:
    std::string path_;
    void* handle_ = nullptr;
};

}  // namespace telem_pyb_log
