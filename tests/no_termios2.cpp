// Preloaded into the program: TCSETS2 fails as it does on a system without
// the termios2 calls (QEMU's user-mode emulation, for one), and every other
// ioctl goes through.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdarg>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* const argument = va_arg(args, void*);
    va_end(args);
    if (request == TCSETS2) {
        errno = ENOSYS;
        return -1;
    }
    using Ioctl = int (*)(int, unsigned long, void*);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}
