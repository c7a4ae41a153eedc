#ifndef HTS_BEARER_TOKEN_H
#define HTS_BEARER_TOKEN_H

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

// A bearer token kept in a file that something else rotates (a token
// refresher, a mounted secret): each post takes the file's current token,
// read again when the file changed, looked at no more than once a second.
//
// Used by the thread that posts only: the records that share it are the
// worker's own copies.
class htsBearerToken
{
public:
    // Reads the token a first time; throws vxException with `tag`, the
    // channel and the reason when the file cannot be read or holds no
    // usable token, so a load with such a file fails.
    static std::shared_ptr<htsBearerToken> Open(const std::string &tag, const std::string &channel,
        const std::string &path);

    // The token for the next post. When the file changed and can no longer
    // be read (or holds no usable token), the last good one stays, with one
    // line when that starts and one when the file reads again.
    const std::string &Current();

    const std::string &Path() const noexcept { return path; }

private:
    // Only Open() makes one, through make_shared.
    struct Made {
    };

public:
    htsBearerToken(Made, const std::string &tag, const std::string &channel, const std::string &path);

private:
    // The file's token, or false with the reason; remembers what the file
    // was when it read whole.
    bool Read(std::string &token, std::string &reason);

    const std::string tag;
    const std::string channel; // escaped for the log
    const std::string path;
    std::string token;

    // What the file was when last read: a rotation changes at least one.
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        timespec modified{};
        bool operator==(const Identity &o) const noexcept
        {
            return device == o.device && inode == o.inode && size == o.size &&
                modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
        }
    };
    Identity identity;
    bool failing = false;
    std::chrono::steady_clock::time_point next_look;
};

#endif
