#pragma once

#include <sys/types.h>

#include <string>

namespace vexodl::common {

// Whether anyone but root and the effective user could have changed a file, or any folder on the
// way to it, and so chosen what we read from it, run, or send secrets to. The rule: every folder
// from "/" down, and the file itself, belongs to root or to the effective user and can be written
// by its owner alone. A folder above `strict_from` may be writable by others when it has the
// sticky bit, as /tmp is: there nobody removes or renames what belongs to another. At and below
// `strict_from` (a folder we keep our own files in) the sticky bit is no excuse: another user
// could create a file there first under a name we are about to use.
//
// Symbolic links are followed, each link's target walked the same way from its folder (or from
// "/"), so a link from a trusted folder into an untrusted one does not pass. The link itself is
// not judged: whoever could replace it could write the folder that holds it, which is.
//
// The walk opens every folder with O_PATH and looks each entry up from its folder's descriptor
// (openat, fstat), so that a folder renamed or replaced while it runs cannot pass for another.
struct PathTrust {
  enum class Verdict {
    kTrusted,
    kMissing,   // `path`, or a folder on the way, does not exist
    kFailed,    // a system call failed; `error` says why
    kOwner,     // `where` belongs to `owner`, neither root nor the effective user
    kWritable,  // `where` can be written by its group or others (`mode`)
  };
  Verdict verdict = Verdict::kTrusted;
  std::string where;  // the file or folder the verdict is about, links resolved
  bool is_folder = false;
  int error = 0;  // kMissing (ENOENT, ENOTDIR) and kFailed
  uid_t owner = 0;
  mode_t mode = 0;

  bool trusted() const { return verdict == Verdict::kTrusted; }
};

// Walks absolute `path` as described above. REQUIRES: `path` and `strict_from` absolute, and
// `strict_from` without links, "." or ".." (a real path).
PathTrust CheckTrustedPath(const std::string& path, const std::string& strict_from);

// What is wrong with `trust` and how to fix it, for a message: "directory /srv/x (mode 0777) can
// be written by other users, who could put files of theirs in place: take that away (chmod go-w
// /srv/x)". `label` names `where` when given ("state directory"), else "directory" or "file";
// `show` makes a path fit for a message (escaping what the message may not carry).
// REQUIRES: trust.verdict is kOwner or kWritable.
std::string DescribeDistrust(const PathTrust& trust, const std::string& label,
                             std::string (*show)(const std::string&));

}  // namespace vexodl::common
