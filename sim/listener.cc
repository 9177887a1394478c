#include "sim/listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace qkr::sim {

Listener::~Listener() {
    if (fd_ && !path_.empty())
        ::unlink(path_.c_str());
}

bool Listener::fail(const std::string& where, const std::string& why) {
    error_ = where.empty() ? why : where + ": " + why;
    fd_.reset();
    return false;
}

bool Listener::open_unix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return fail(path, std::strerror(ENAMETOOLONG));
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail(path, "exists and is not a socket");
        ::unlink(path.c_str());
    }
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // The file takes the socket's mode when bound: the owner's alone from its first moment,
    // whatever the umask, which a multi-threaded host (pcscd) must not change.
    if (!fd_ || ::fchmod(fd_.get(), 0600) != 0 ||
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return fail(path, std::strerror(errno));
    path_ = path;
    if (::listen(fd_.get(), 16) != 0) {
        const int e = errno;
        ::unlink(path_.c_str());
        path_.clear();
        return fail(path, std::strerror(e));
    }
    return true;
}

bool Listener::open_tcp(std::uint16_t port, int backlog) {
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_)
        return fail({}, std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_.get(), backlog) != 0)
        return fail({}, std::strerror(errno));
    socklen_t len = sizeof addr;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return true;
}

serial::Fd Listener::accept(int flags) const {
    return serial::Fd(::accept4(fd_.get(), nullptr, nullptr, flags));
}

} // namespace qkr::sim
