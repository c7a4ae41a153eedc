// Flushing files side by side: each descriptor's own result comes back in
// its place, whichever thread flushed it, batch after batch.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delivery/file_sync_pool.h"
#include "test_support.h"

namespace {

TEST(FileSyncPool, EachResultInItsPlace)
{
    vxtest::TempDir dir;
    std::vector<int> files;
    for (int i = 0; i < 20; i++) {
        const std::string path = dir.Path() / ("f" + std::to_string(i));
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "x", 1), 1);
        files.push_back(fd);
    }
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);

    htsFileSyncPool pool(4);
    for (int round = 0; round < 3; round++) {
        // A closed descriptor and a pipe among the files: neither can be
        // flushed, and each says so where it stands.
        std::vector<int> batch = files;
        batch.insert(batch.begin() + 3, -1);
        batch.insert(batch.begin() + 10, pipe_fds[1]);
        const std::vector<int> errors = pool.Sync(batch);
        ASSERT_EQ(errors.size(), batch.size());
        for (size_t i = 0; i < batch.size(); i++) {
            if (i == 3)
                EXPECT_EQ(errors[i], EBADF);
            else if (i == 10)
                EXPECT_EQ(errors[i], EINVAL);
            else
                EXPECT_EQ(errors[i], 0) << i;
        }
    }
    EXPECT_TRUE(pool.Sync({}).empty());
    EXPECT_EQ(pool.Sync({ files[0] }), std::vector<int>{ 0 });
    for (int fd : files) close(fd);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

} // namespace
