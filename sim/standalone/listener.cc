#include "sim/standalone/listener.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace qkr::sim {

UnixListener::~UnixListener() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

bool UnixListener::open(const std::string& path) {
    auto fail = [&](const std::string& why) {
        error_ = path + ": " + why;
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        return false;
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return fail(std::strerror(ENAMETOOLONG));
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail("exists and is not a socket");
        ::unlink(path.c_str());
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        return fail(std::strerror(errno));
    // The mode comes from the umask at bind time; a chmod afterwards would leave a moment in which
    // anyone could connect.
    const mode_t old = ::umask(0177);
    const int bound = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int bind_error = errno;
    ::umask(old);
    if (bound != 0)
        return fail(std::strerror(bind_error));
    path_ = path;
    if (::listen(fd_, 16) != 0) {
        const int e = errno;
        ::unlink(path_.c_str());
        return fail(std::strerror(e));
    }
    return true;
}

int UnixListener::accept() const {
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

} // namespace qkr::sim
