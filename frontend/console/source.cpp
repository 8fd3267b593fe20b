#include "source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "qo/text.h"

namespace qo::console {

std::u16string decodeSource(std::string_view bytes) {
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    bool le = bytes.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE;
    bool be = bytes.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF;
    if (le || be) {
        std::u16string out;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            unsigned lo = byteAt(le ? i : i + 1), hi = byteAt(le ? i + 1 : i);
            out.push_back(static_cast<char16_t>(lo | (hi << 8)));
        }
        return out;
    }
    if (bytes.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) bytes.remove_prefix(3);
    return qo::text::fromUtf8(bytes);
}

std::optional<std::string> readAll(int fd) {
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got == 0) return data;
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        data.append(buf, static_cast<size_t>(got));
    }
}

std::optional<std::u16string> readSource(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> bytes = readAll(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    if (!bytes) return std::nullopt;
    return decodeSource(*bytes);
}

void skipInterpreterLine(std::u16string& source) {
    if (source.rfind(u"#!", 0) != 0) return;
    for (char16_t& c : source) {
        if (c == u'\n' || c == u'\r') break;
        c = u' ';
    }
}

}  // namespace qo::console
