#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/bearer_token.h"
#include "config/log_text.h"
#include "vxexception.h"
#include "vxlog.h"

namespace {

// A token file is a few hundred bytes; anything far larger is not one.
constexpr size_t token_file_max = 64 * 1024;

// A rotation is seen within this long, and the file is looked at no more often.
constexpr std::chrono::seconds look_interval{ 1 };

std::string ErrorText(int error)
{
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

} // namespace

htsBearerToken::htsBearerToken(Made, const std::string &tag, const std::string &channel, const std::string &path)
    : tag(tag), channel(htsEscapeControl(channel)), path(path)
{
}

std::shared_ptr<htsBearerToken> htsBearerToken::Open(const std::string &tag, const std::string &channel,
    const std::string &path)
{
    auto made = std::make_shared<htsBearerToken>(Made{}, tag, channel, path);
    std::string reason;
    if (!made->Read(made->token, reason))
        throw vxException("%s: %s: cannot read bearer_token_file: %s", tag.c_str(), made->channel.c_str(),
            reason.c_str());
    made->next_look = std::chrono::steady_clock::now() + look_interval;
    return made;
}

bool htsBearerToken::Read(std::string &out, std::string &reason)
{
    // Non-blocking, so a named pipe cannot hold a post.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        reason = ErrorText(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = S_ISDIR(st.st_mode) ? ErrorText(EISDIR) : "not a regular file";
        close(fd);
        return false;
    }
    std::string text(token_file_max + 1, '\0');
    size_t length = 0;
    while (length < text.size()) {
        const ssize_t n = read(fd, text.data() + length, text.size() - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reason = ErrorText(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        length += static_cast<size_t>(n);
    }
    close(fd);
    if (length > token_file_max) {
        reason = "larger than 64 KiB";
        return false;
    }
    text.resize(length);
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        reason = "no token in the file";
        return false;
    }
    text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    // A control character inside would break the request's header block.
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            reason = "the token holds a control character";
            return false;
        }
    }
    // Only now, for a file that was read whole.
    identity = { st.st_dev, st.st_ino, st.st_size, st.st_mtim };
    out = std::move(text);
    return true;
}

const std::string &htsBearerToken::Current()
{
    const auto now = std::chrono::steady_clock::now();
    if (now < next_look) return token;
    next_look = now + look_interval;

    struct stat st;
    std::string reason;
    if (stat(path.c_str(), &st) == 0) {
        const Identity seen{ st.st_dev, st.st_ino, st.st_size, st.st_mtim };
        // Unchanged and readable last time: nothing to read.
        if (seen == identity && !failing) return token;
        std::string fresh;
        if (Read(fresh, reason)) {
            token = std::move(fresh);
            if (failing) {
                failing = false;
                vx_printf("%s: %s: bearer_token_file %s read again\n", tag.c_str(), channel.c_str(), path.c_str());
            }
            return token;
        }
    }
    else
        reason = ErrorText(errno);
    if (!failing) {
        failing = true;
        vx_printf("%s: %s: cannot read bearer_token_file %s: %s; keeping the last token\n", tag.c_str(),
            channel.c_str(), path.c_str(), reason.c_str());
    }
    return token;
}
