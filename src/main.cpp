#include "fpgabits.h"

int main(int argc, char **argv) {
    if (argc <= 1)
        return 1;
    fs = std::fopen(argv[1], "r");
    if (fs == nullptr)
        return 1;

    int status = process();
    // A close that fails may leave fpgabits.i incomplete.
    if (fd != nullptr && std::fclose(fd) != 0)
        status = 1;
    std::fclose(fs);
    return status;
}
