// Preloaded into a program run, counts its heap allocations, the C
// library's own included, and writes the count at exit to the file named by
// UIPACER_HEAP_REPORT.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<unsigned long> allocations{0};

__attribute__((destructor)) void report() {
    const char* path = std::getenv("UIPACER_HEAP_REPORT");
    if (path == nullptr) {
        return;
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%lu\n", allocations.load());
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = write(fd, text, static_cast<std::size_t>(length));
        close(fd);
    }
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
    ++allocations;
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
    ++allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) {
    ++allocations;
    return __libc_realloc(block, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }

int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
    void* p = memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *block = p;
    return 0;
}

void free(void* block) { __libc_free(block); }

}  // extern "C"
