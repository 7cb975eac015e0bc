#include "korvan/platform/stream_isolation.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvan::platform {
namespace {

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// Two descriptors on one pipe, file or terminal are one channel: module output sent to standard
// error would still land between the frames.
bool same_channel(int a, int b) {
    struct stat sa {};
    struct stat sb {};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

int private_copy(int fd) {
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

IsolationFailure fail_after_duplicates(std::string_view step, int input, int output) {
    const int copy = private_copy(output);
    ::close(output);
    ::close(input);
    return {step, copy >= 0 ? std::optional<NativeHandle>(copy) : std::nullopt};
}

} // namespace

IsolationResult isolate_standard_streams() {
    if (!is_open(0) || !is_open(1) || !is_open(2) || same_channel(1, 2)) {
        return IsolationFailure{"standard handles", std::nullopt};
    }
    const int input = private_copy(0);
    if (input < 0) {
        return IsolationFailure{"dup stdin", std::nullopt};
    }
    const int output = private_copy(1);
    if (output < 0) {
        ::close(input);
        return IsolationFailure{"dup stdout", std::nullopt};
    }
    // close() releases the descriptor even when it reports an error.
    ::close(0);
    ::close(1);
    // The lowest free descriptor is 0, so the null device normally takes its place directly.
    const int null_device = ::open("/dev/null", O_RDWR);
    if (null_device < 0) {
        return fail_after_duplicates("open NUL", input, output);
    }
    if (null_device != 0) {
        const bool moved = ::dup2(null_device, 0) == 0;
        ::close(null_device);
        if (!moved) {
            return fail_after_duplicates("stdin to NUL", input, output);
        }
    }
    if (::dup2(2, 1) != 1) {
        return fail_after_duplicates("stdout to stderr", input, output);
    }
    return IsolatedStreams{input, output};
}

void close_handle(NativeHandle handle) {
    ::close(static_cast<int>(handle));
}

} // namespace korvan::platform
