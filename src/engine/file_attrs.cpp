// What a replaced file hands on to its replacement (file_attrs.hpp).
#include "engine/file_attrs.hpp"

#include <cerrno>
#include <cstddef>
#include <new>
#include <string_view>

#include "engine/file_step.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif
#ifdef __APPLE__
#include <sys/acl.h>
#endif

namespace corvale_trie::blobmap::file {

namespace {

[[maybe_unused]] bool unsupported(int e) noexcept { return e == ENOTSUP || e == EOPNOTSUPP; }

#if defined(__linux__)
constexpr int kNoAttr = ENODATA;
constexpr const char* kAclName = "system.posix_acl_access";
ssize_t list_attrs(int fd, char* buf, std::size_t n) noexcept { return ::flistxattr(fd, buf, n); }
ssize_t get_attr(int fd, const char* name, void* buf, std::size_t n) noexcept {
  return ::fgetxattr(fd, name, buf, n);
}
int set_attr(int fd, const char* name, const void* value, std::size_t n) noexcept {
  return ::fsetxattr(fd, name, value, n, 0);
}
bool handed_on(std::string_view name) noexcept { return name.starts_with("user."); }
#elif defined(__APPLE__)
constexpr int kNoAttr = ENOATTR;
ssize_t list_attrs(int fd, char* buf, std::size_t n) noexcept { return ::flistxattr(fd, buf, n, 0); }
ssize_t get_attr(int fd, const char* name, void* buf, std::size_t n) noexcept {
  return ::fgetxattr(fd, name, buf, n, 0, 0);
}
int set_attr(int fd, const char* name, const void* value, std::size_t n) noexcept {
  return ::fsetxattr(fd, name, value, n, 0, 0);
}
bool handed_on(std::string_view name) noexcept { return !name.starts_with("com.apple.system."); }
#endif

#if defined(__linux__) || defined(__APPLE__)
// An attribute that shutil.copystat leaves out rather than fail.
bool left_out(int e) noexcept { return e == EPERM || e == EACCES || e == EINVAL || e == kNoAttr || unsupported(e); }

// Fills `out` through query(buffer, size), a list or a get call that
// answers the size needed when given none: 0 or an errno value.
template <class Query>
int read_sized(Query&& query, std::string& out) {
  for (;;) {
    ssize_t n = step([&] { return query(nullptr, 0); });
    if (n < 0) return errno;
    out.resize(static_cast<std::size_t>(n));
    if (n == 0) return 0;
    n = step([&] { return query(out.data(), out.size()); });
    if (n >= 0) {
      out.resize(static_cast<std::size_t>(n));
      return 0;
    }
    if (errno != ERANGE) return errno;  // it grew meanwhile: again
  }
}
#endif

}  // namespace

Attributes::~Attributes() {
#ifdef __APPLE__
  if (acl_object_ != nullptr) ::acl_free(acl_object_);
#endif
}

int Attributes::read(int fd) {
#if defined(__linux__) || defined(__APPLE__)
  std::string names;
  int e = read_sized([&](char* buf, std::size_t n) { return list_attrs(fd, buf, n); }, names);
  if (e != 0 && e != kNoAttr && e != EINVAL && !unsupported(e)) return e;
  if (e != 0) names.clear();
  for (std::size_t at = 0; at < names.size();) {
    const std::size_t end = names.find('\0', at);
    const std::string_view name = std::string_view(names).substr(at, end - at);
    at = end == std::string::npos ? names.size() : end + 1;
    if (name.empty() || !handed_on(name)) continue;
    std::pair<std::string, std::string>& attr = attrs_.emplace_back(std::string(name), std::string());
    e = read_sized([&](char* buf, std::size_t n) { return get_attr(fd, attr.first.c_str(), buf, n); }, attr.second);
    if (e != 0) {
      attrs_.pop_back();
      if (!left_out(e)) return e;
    }
  }
#endif
#if defined(__linux__)
  acl_state_ = read_sized([&](char* buf, std::size_t n) { return get_attr(fd, kAclName, buf, n); }, acl_);
  if (acl_state_ != 0 && acl_state_ != kNoAttr && !unsupported(acl_state_)) return acl_state_;
#elif defined(__APPLE__)
  errno = EIO;
  acl_t acl = step_fails() ? nullptr : ::acl_get_fd_np(fd, ACL_TYPE_EXTENDED);
  if (acl == nullptr) {
    if (errno != ENOENT) return unsupported(errno) ? 0 : errno;
    acl = ::acl_init(0);  // none: an empty one clears what the new file inherits
    if (acl == nullptr) throw std::bad_alloc();
    acl_state_ = kNoAttr;
  }
  acl_object_ = acl;
#endif
  return 0;
}

int Attributes::apply([[maybe_unused]] int fd) const noexcept {
#if defined(__linux__) || defined(__APPLE__)
  for (const std::pair<std::string, std::string>& attr : attrs_)
    if (step([&] { return set_attr(fd, attr.first.c_str(), attr.second.data(), attr.second.size()); }) != 0 &&
        !left_out(errno))
      return errno;
#endif
#if defined(__linux__)
  if (acl_state_ == 0) {
    if (step([&] { return set_attr(fd, kAclName, acl_.data(), acl_.size()); }) != 0) return errno;
  } else if (acl_state_ == kNoAttr) {
    if (step([&] { return ::fremovexattr(fd, kAclName); }) != 0 && errno != kNoAttr && !unsupported(errno))
      return errno;
  }
#elif defined(__APPLE__)
  if (acl_object_ != nullptr &&
      step([&] { return ::acl_set_fd_np(fd, static_cast<acl_t>(acl_object_), ACL_TYPE_EXTENDED); }) != 0 &&
      !(acl_state_ == kNoAttr && unsupported(errno)))
    return errno;
#endif
  return 0;
}

}  // namespace corvale_trie::blobmap::file
