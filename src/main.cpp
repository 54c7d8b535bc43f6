#include <fcntl.h>
#include <unistd.h>

#include "fpgabits.h"

namespace {

// With a standard descriptor closed, the next file opened takes its number:
// fpgabits.i would become standard output and receive the length line. Hold
// each closed one with /dev/null before anything else is opened.
bool open_standard_descriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor)
        if (fcntl(descriptor, F_GETFD) == -1 && open("/dev/null", O_RDWR) != descriptor)
            return false;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (!open_standard_descriptors() || argc <= 1)
        return 1;
    fs = std::fopen(argv[1], "r");
    if (fs == nullptr)
        return 1;

    int status = process();
    // A close that fails may leave fpgabits.i incomplete.
    if (fd != nullptr && std::fclose(fd) != 0)
        status = 1;
    std::fclose(fs);
    // Scripts read the length line: losing it, to a full disk say, is a failure.
    if (std::ferror(stdout) != 0 || std::fclose(stdout) != 0)
        status = 1;
    return status;
}
