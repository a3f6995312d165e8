#include <dlfcn.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "host/window_module.h"
#include "host/window_probe.h"

namespace netbuf {

namespace {

// The directory of the running executable, links resolved: /usr/sbin/netbuf
// runs /usr/lib/netbuf/netbuf, and the module is beside that. Empty when the
// kernel does not say.
std::string executable_dir() {
  std::string path(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

WindowModule* not_loaded(const std::string& file, const char* why) {
  std::string reason = why ? why : "unknown error";
  // dlerror() mostly starts with the file's name, which the line has already.
  if (reason.starts_with(file + ": ")) reason.erase(0, file.size() + 2);
  std::cerr << "netbuf: window module " << file
            << " not loaded, running without a window: " << reason << std::endl;
  return nullptr;
}

}  // namespace

WindowModule* load_window_module() {
  const std::string dir = executable_dir();
  if (dir.empty()) return not_loaded(kWindowModuleFile, "/proc/self/exe cannot be read");
  const std::string file = dir + "/" + kWindowModuleFile;
  // Tried in a child first: what would abort or crash us there costs only
  // the window.
  const ProbeResult probe = probe_window(file);
  if (probe.not_loaded) return not_loaded(file, probe.why.c_str());
  if (!probe.ok) {
    std::cerr << "netbuf: window module " << file
              << " cannot start, running without a window: " << probe.why << std::endl;
    return nullptr;
  }
  // Bound at once, so a module that does not fit this executable fails here
  // and not halfway through the start-up.
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return not_loaded(file, dlerror());
  auto* entry = reinterpret_cast<decltype(&netbuf_window)>(dlsym(handle, "netbuf_window"));
  if (entry == nullptr) {
    const std::string why = dlerror();
    dlclose(handle);
    return not_loaded(file, why.c_str());
  }
  // Never closed: the window's code runs until the process ends.
  return entry();
}

}  // namespace netbuf
