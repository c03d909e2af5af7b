// Loads libtrelvo with dlopen, opens the unit on the emulated bus, starts a
// stream and unloads the library while it runs. Writes "streaming", then
// "unloaded"; after its input ends, "threads as before" when unloading took
// back every thread the library had started. Any failure ends it with 1.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

int threads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

template <typename F>
F symbol(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const int before = threads();
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto open = symbol<int16_t (*)()>(library, "TrelvoOpenUnit");
    auto setInterval = symbol<int32_t (*)(int16_t, uint32_t, uint32_t, int16_t*, int16_t)>(
        library, "TrelvoSetInterval");
    auto run = symbol<int16_t (*)(int16_t, uint32_t, int32_t)>(library, "TrelvoRun");
    auto get = symbol<int32_t (*)(int16_t, uint16_t*, uint32_t)>(library, "TrelvoGetValues");
    if (!open || !setInterval || !run || !get) return 1;
    const int16_t h = open();
    int16_t channels[2] = {1, 2};
    if (h == 0 || setInterval(h, 10000, 100, channels, 2) == 0 || run(h, 100000, 2) != 1) {
        std::fprintf(stderr, "could not start a stream (handle %d)\n", h);
        return 1;
    }
    std::vector<uint16_t> values(2 * 4096);
    int32_t total = 0;
    for (int i = 0; i < 300 && total < 1000; ++i) {
        total += get(h, values.data(), 4096);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (total < 1000) {
        std::fprintf(stderr, "stream delivered %d readings\n", total);
        return 1;
    }
    std::printf("streaming\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (dlclose(library) != 0) return 1;
    std::printf("unloaded\n");
    std::fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    const int after = threads();
    if (after != before) {
        std::printf("threads %d before, %d after\n", before, after);
        return 1;
    }
    std::printf("threads as before\n");
    return 0;
}
