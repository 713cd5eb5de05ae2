#include "platform/UniqueFd.h"

bool readRest(int fd, std::string& text) {
    char chunk[8192];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text.append(chunk, static_cast<std::size_t>(got));
    }
}
