// The identity of a replaced file that its successor must carry: owner, group, extended
// attributes (POSIX ACLs, security labels) and mode.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fileio_posix.hpp"

namespace pyqelm::fileio::posix {
namespace {

std::vector<std::string> split_names(const std::vector<char>& list) {
    std::vector<std::string> names;
    for (std::size_t pos = 0; pos < list.size();) {
        const std::size_t end =
            std::find(list.begin() + static_cast<std::ptrdiff_t>(pos), list.end(), '\0') -
            list.begin();
        if (end > pos) names.emplace_back(list.data() + pos, end - pos);
        pos = end + 1;
    }
    return names;
}

// The names of a file's extended attributes; a file system without them has none.
bool list_attributes(int fd, std::vector<std::string>& names) {
    std::vector<char> list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP || errno == EOPNOTSUPP) return names.clear(), true;
            return false;
        }
        list.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::flistxattr(fd, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<std::size_t>(got));
            names = split_names(list);
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: it grew in between; ask again
    }
}

// Extended attributes carry POSIX ACLs and security labels: the new file must end up with
// exactly the old file's set, or it would not be the same file to its users.
bool copy_attributes(int from, int to) {
    std::vector<std::string> wanted;
    std::vector<std::string> present;
    if (!list_attributes(from, wanted) || !list_attributes(to, present)) return false;
    for (const std::string& name : present) {
        // Given by the directory (an inherited ACL, a default label) but not the old file's.
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            ::fremovexattr(to, name.c_str()) != 0) {
            return false;
        }
    }
    std::vector<char> value;
    for (const std::string& name : wanted) {
        for (;;) {
            const ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
            if (size < 0) return false;
            value.resize(static_cast<std::size_t>(size));
            const ssize_t got = ::fgetxattr(from, name.c_str(), value.data(), value.size());
            if (got >= 0) {
                value.resize(static_cast<std::size_t>(got));
                break;
            }
            if (errno != ERANGE) return false;
        }
        if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
    }
    return true;
}

}  // namespace

// True when the new file now carries the old file's owner, group, extended attributes and
// mode, in that order: a change of owner clears the set-ID bits and an ACL sets group bits.
bool copy_identity(int from, const struct stat& old, int to) {
    if (detail::injected_fault(detail::Step::copy_identity) != 0) return false;
    struct stat now{};
    if (::fstat(to, &now) != 0) return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(to, old.st_uid, old.st_gid) != 0) {
        return false;  // only root, or the owner handing the file to one of its groups, may
    }
    if (!copy_attributes(from, to)) return false;
    if (::fchmod(to, old.st_mode & 07777) != 0 || ::fstat(to, &now) != 0) return false;
    // The system drops the set-group-ID bit silently for a caller outside the group.
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid &&
           (now.st_mode & 07777) == (old.st_mode & 07777);
}

}  // namespace pyqelm::fileio::posix
