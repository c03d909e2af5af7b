// Loads libtrelvo with dlopen, opens simulated units, and unloads the library
// with the units still open: unloading must close them (their named mutexes
// are free afterwards) without hanging or crashing.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    char lockDir[] = "/tmp/trelvo-unload-XXXXXX";
    if (!mkdtemp(lockDir)) return 2;
    setenv("TRELVO_LOCK_DIR", lockDir, 1);
    setenv("TRELVO_SIMULATE", "3", 1);

    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    using Open = int16_t (*)();
    auto open = reinterpret_cast<Open>(dlsym(library, "TrelvoOpenUnit"));
    if (!open) return 1;
    const int16_t first = open();
    const int16_t second = open();
    if (first != 1 || second != 2) {
        std::fprintf(stderr, "opened %d and %d\n", first, second);
        return 1;
    }
    if (dlclose(library) != 0) return 1;

    // Both units were released: their lock files can be taken at once.
    for (int index : {0, 1}) {
        const std::string path =
            std::string(lockDir) + "/suvopp-" + std::to_string(index) + ".lock";
        const int fd = ::open(path.c_str(), O_RDWR);
        if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
            std::fprintf(stderr, "unit %d still held after unload\n", index);
            return 1;
        }
        close(fd);
    }
    std::printf("unload closed both units\n");
    return 0;
}
