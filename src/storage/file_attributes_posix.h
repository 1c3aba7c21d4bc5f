// A file's owner, group, permissions, access list and other extended attributes, read from one
// file and given to another; not part of the storage's interface.
#ifndef TALLIVAN_STORAGE_FILE_ATTRIBUTES_POSIX_H_
#define TALLIVAN_STORAGE_FILE_ATTRIBUTES_POSIX_H_

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallivan::posix {

inline constexpr char kAccessListAttribute[] = "system.posix_acl_access";

// The extended attributes of the file at `path`, names and values.
std::vector<std::pair<std::string, std::string>> AttributesOf(const std::filesystem::path& path);

// What a file's access list grants: its entries, or the three its permission bits stand for when
// it has none.
struct AccessList {
  struct Entry {
    uint16_t tag;          // ACL_USER_OBJ, ACL_USER, ... as the system numbers them
    uint16_t permissions;  // read 4, write 2, search 1
    uint32_t id;           // of a named user or group
  };
  std::vector<Entry> entries;  // in the order the system keeps them
};

// The access list of the file open as `fd` (O_PATH or not) whose status is `st`; nullopt when it
// cannot be read.
std::optional<AccessList> AccessListOf(int fd, const struct stat& st);

// The access list for a folder of files that have `file`'s: search where read is granted, and
// everything for the folder's owner.
AccessList FolderAccessList(AccessList file);

// `list` for a file that cannot have the group it was meant for: that group's place gets nothing,
// and others no more than that group had.
AccessList WithoutGroup(AccessList list);

// Gives the file open as `fd` exactly `list`, permission bits included (no set-id or sticky
// bits); 0 or the errno that stopped it.
int GiveAccessList(int fd, const AccessList& list);

// Whether a file of `owner` and `group` with `list` lets anyone but `owner` do something of
// `permissions` that a file of `limit_owner` and `limit_group` with `limit` does not let them.
// Group membership is not looked up: a user who might be in a group is taken to be in it.
bool GrantsBeyond(const AccessList& list, uid_t owner, gid_t group, const AccessList& limit,
                  uid_t limit_owner, gid_t limit_group, uint16_t permissions);

// Gives the file open as `fd`, whose status is `now`, the owner and group of `model` where the
// caller may (the owner only when privileged). Whether the group is `model`'s now.
bool GiveOwnerAndGroup(int fd, const struct stat& now, const struct stat& model);

}  // namespace tallivan::posix

#endif  // TALLIVAN_STORAGE_FILE_ATTRIBUTES_POSIX_H_
