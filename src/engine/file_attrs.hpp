// corvale_trie engine: what a file that a save replaces hands on to the new
// file that takes its place: its access control list and its other extended
// attributes (image_file.hpp).
//
// The new file must grant no one an access the old one denied. With an ACL,
// the group bits of a file's mode are the ACL's mask, not the owning group's
// rights: copying the mode alone would widen the access, and the new file
// also inherits the directory's default ACL, which the old file may have
// shed. So:
//   - Linux: the ACL is the attribute `system.posix_acl_access`. The old
//     file's is set on the new file; when the old file has none, the one the
//     new file inherited is removed, so that its mode alone rules, as it did
//     on the old file. A file system without ACLs needs neither. Either step
//     failing refuses the save. The attributes of the `user.` namespace are
//     copied as shutil.copystat copies them: one that cannot be read or set
//     for want of permission or support (EPERM, EACCES, ENOTSUP, EINVAL,
//     ENODATA) is left out, any other failure refuses the save;
//   - macOS: the extended ACL (acl_get_fd_np / acl_set_fd_np; an empty one
//     clears an inherited ACL), and every extended attribute outside the
//     protected `com.apple.system.` names, the same way;
//   - elsewhere nothing is handed on.
// Every step is a file step (file_step.hpp). What is read is read before
// the new file is made, so that copying allocates nothing.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvale_trie::blobmap::file {

class Attributes {
 public:
  Attributes() noexcept = default;
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
  ~Attributes();

  // Reads what the open file `fd` hands on: 0 or an errno value. May throw
  // std::bad_alloc.
  [[nodiscard]] int read(int fd);
  // Gives it to the new file `fd`, before the file gets its mode (an ACL
  // and a mode must agree): 0 or the errno value of the failed step.
  [[nodiscard]] int apply(int fd) const noexcept;

 private:
  std::vector<std::pair<std::string, std::string>> attrs_;  // (name, value)
  // The ACL: Linux, acl_state_ 0 with its value in acl_, or the error of
  // reading it (no ACL, or no support); macOS, an acl_t to set, or null.
  int acl_state_ = 0;
#ifdef __APPLE__
  void* acl_object_ = nullptr;
#else
  std::string acl_;
#endif
};

}  // namespace corvale_trie::blobmap::file
