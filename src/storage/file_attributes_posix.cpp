#include "storage/file_attributes_posix.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace tallivan::posix {
namespace {

namespace fs = std::filesystem;

// The system's numbers in an access list as extended attributes keep it (little-endian).
constexpr uint32_t kListVersion = 2;
constexpr uint16_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10,
                   kOther = 0x20;
constexpr uint32_t kNoId = 0xFFFFFFFF;
constexpr size_t kHeaderBytes = 4, kEntryBytes = 8;

uint32_t LittleEndian(const char* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

void PutLittleEndian(std::string& bytes, uint32_t value, size_t count) {
  for (size_t i = 0; i < count; ++i, value >>= 8) bytes.push_back(static_cast<char>(value & 0xFF));
}

// The value of the attribute `name` of the file open as `fd`, which may be opened with O_PATH;
// nullopt with errno when it has none or it cannot be read.
std::optional<std::string> AttributeOf(int fd, const char* name) {
  const std::string by_path = "/proc/self/fd/" + std::to_string(fd);
  const auto get = [&](char* value, size_t size) {
    const ssize_t got = fgetxattr(fd, name, value, size);
    return got >= 0 || errno != EBADF ? got : getxattr(by_path.c_str(), name, value, size);
  };
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0) return std::nullopt;
    std::string value(static_cast<size_t>(size), '\0');
    const ssize_t got = get(value.data(), value.size());
    if (got >= 0) return value.substr(0, static_cast<size_t>(got));
    if (errno != ERANGE) return std::nullopt;
  }
  return std::nullopt;
}

AccessList FromMode(mode_t mode) {
  return {{{kUserObj, static_cast<uint16_t>(mode >> 6 & 7), kNoId},
           {kGroupObj, static_cast<uint16_t>(mode >> 3 & 7), kNoId},
           {kOther, static_cast<uint16_t>(mode & 7), kNoId}}};
}

bool IsMinimal(const AccessList& list) {
  return std::all_of(list.entries.begin(), list.entries.end(), [](const AccessList::Entry& e) {
    return e.tag == kUserObj || e.tag == kGroupObj || e.tag == kOther;
  });
}

// The permission bits that stand for `list`: with named entries, the group's are the mask.
mode_t ModeOf(const AccessList& list) {
  mode_t owner = 0, group = 0, other = 0, mask = 0;
  bool masked = false;
  for (const AccessList::Entry& entry : list.entries) {
    if (entry.tag == kUserObj) owner = entry.permissions;
    if (entry.tag == kGroupObj) group = entry.permissions;
    if (entry.tag == kOther) other = entry.permissions;
    if (entry.tag == kMask) mask = entry.permissions, masked = true;
  }
  return owner << 6 | (masked ? mask : group) << 3 | other;
}

std::string Encode(const AccessList& list) {
  std::string bytes;
  PutLittleEndian(bytes, kListVersion, 4);
  for (const AccessList::Entry& entry : list.entries) {
    PutLittleEndian(bytes, entry.tag, 2);
    PutLittleEndian(bytes, entry.permissions, 2);
    PutLittleEndian(bytes, entry.id, 4);
  }
  return bytes;
}

// Who gets what from a list: named users (the owner among them, when asked), groups (the
// owning group among them) and everyone else, the mask applied.
struct Grants {
  std::map<uint32_t, uint16_t> users, groups;
  uint16_t other = 0;
};

Grants GrantsOf(const AccessList& list, uid_t owner, gid_t group, bool owner_named) {
  uint16_t mask = 7;
  for (const AccessList::Entry& entry : list.entries) {
    if (entry.tag == kMask) mask = entry.permissions;
  }
  Grants grants;
  for (const AccessList::Entry& entry : list.entries) {
    const uint16_t masked = entry.permissions & mask;
    if (entry.tag == kUserObj && owner_named) grants.users[owner] |= entry.permissions;
    if (entry.tag == kUser) grants.users[entry.id] |= masked;
    if (entry.tag == kGroupObj) grants.groups[group] |= masked;
    if (entry.tag == kGroup) grants.groups[entry.id] |= masked;
    if (entry.tag == kOther) grants.other = entry.permissions;
  }
  return grants;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> AttributesOf(const fs::path& path) {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string names(4096, '\0');
  ssize_t length = llistxattr(path.c_str(), names.data(), names.size());
  if (length < 0 && errno == ERANGE) {
    length = llistxattr(path.c_str(), nullptr, 0);
    if (length > 0) {
      names.resize(static_cast<size_t>(length));
      length = llistxattr(path.c_str(), names.data(), names.size());
    }
  }
  for (size_t at = 0; length > 0 && at < static_cast<size_t>(length);) {
    const std::string attribute(names.c_str() + at);
    at += attribute.size() + 1;
    const ssize_t size = lgetxattr(path.c_str(), attribute.c_str(), nullptr, 0);
    if (size < 0) continue;
    std::string value(static_cast<size_t>(size), '\0');
    const ssize_t got = lgetxattr(path.c_str(), attribute.c_str(), value.data(), value.size());
    if (got < 0) continue;
    value.resize(static_cast<size_t>(got));
    attributes.emplace_back(attribute, std::move(value));
  }
  return attributes;
}

std::optional<AccessList> AccessListOf(int fd, const struct stat& st) {
  const std::optional<std::string> value = AttributeOf(fd, kAccessListAttribute);
  if (!value) {
    if (errno == ENODATA || errno == ENOTSUP) return FromMode(st.st_mode);
    return std::nullopt;
  }
  if (value->size() < kHeaderBytes || (value->size() - kHeaderBytes) % kEntryBytes != 0 ||
      LittleEndian(value->data(), 4) != kListVersion) {
    return std::nullopt;
  }
  AccessList list;
  for (size_t at = kHeaderBytes; at < value->size(); at += kEntryBytes) {
    list.entries.push_back({static_cast<uint16_t>(LittleEndian(value->data() + at, 2)),
                            static_cast<uint16_t>(LittleEndian(value->data() + at + 2, 2)),
                            LittleEndian(value->data() + at + 4, 4)});
  }
  return list;
}

AccessList FolderAccessList(AccessList file) {
  for (AccessList::Entry& entry : file.entries) {
    if ((entry.permissions & 4) != 0) entry.permissions |= 1;
    if (entry.tag == kUserObj) entry.permissions = 7;
  }
  return file;
}

AccessList WithoutGroup(AccessList list) {
  uint16_t group = 0;
  for (AccessList::Entry& entry : list.entries) {
    if (entry.tag == kGroupObj) group = std::exchange(entry.permissions, 0);
  }
  for (AccessList::Entry& entry : list.entries) {
    if (entry.tag == kOther) entry.permissions &= group;
  }
  return list;
}

int GiveAccessList(int fd, const AccessList& list) {
  if (fchmod(fd, ModeOf(list)) != 0) return errno;
  if (IsMinimal(list)) {
    const bool gone =
        fremovexattr(fd, kAccessListAttribute) == 0 || errno == ENODATA || errno == ENOTSUP;
    return gone ? 0 : errno;
  }
  const std::string value = Encode(list);
  return fsetxattr(fd, kAccessListAttribute, value.data(), value.size(), 0) == 0 ? 0 : errno;
}

bool GrantsBeyond(const AccessList& list, uid_t owner, gid_t group, const AccessList& limit,
                  uid_t limit_owner, gid_t limit_group, uint16_t permissions) {
  const Grants given = GrantsOf(list, owner, group, false);
  const Grants allowed = GrantsOf(limit, limit_owner, limit_group, true);
  // The least that someone whose groups are not known gets from the limit: from each group
  // they may be in, or from none; `outside` leaves out the groups the list names.
  uint16_t least = allowed.other, least_outside = allowed.other, most = given.other;
  for (const auto& [id, granted] : allowed.groups) {
    least &= granted;
    if (!given.groups.contains(id)) least_outside &= granted;
  }
  for (const auto& [id, granted] : given.groups) most |= granted;
  const auto beyond = [permissions](uint16_t granted, uint16_t limit_granted) {
    return (granted & permissions & ~limit_granted) != 0;
  };
  for (const auto& [id, granted] : given.users) {
    const auto it = allowed.users.find(id);
    if (id != owner && beyond(granted, it != allowed.users.end() ? it->second : least)) {
      return true;
    }
  }
  // A user the limit names but the list does not gets whatever their groups or others get.
  for (const auto& [id, limit_granted] : allowed.users) {
    if (id != owner && !given.users.contains(id) && beyond(most, limit_granted)) return true;
  }
  for (const auto& [id, granted] : given.groups) {
    const auto it = allowed.groups.find(id);
    if (beyond(granted, it != allowed.groups.end() ? it->second : least)) return true;
  }
  return beyond(given.other, least_outside);
}

bool GiveOwnerAndGroup(int fd, const struct stat& now, const struct stat& model) {
  if (now.st_uid == model.st_uid && now.st_gid == model.st_gid) return true;
  if (fchown(fd, model.st_uid, model.st_gid) == 0) return true;
  return now.st_gid == model.st_gid || fchown(fd, static_cast<uid_t>(-1), model.st_gid) == 0;
}

}  // namespace tallivan::posix
