#pragma once

#include <string>

#include "regular_file.h"
#include "winapi.h"

// Why a run may not read or replace the prefix's user.reg, as the Win32 code
// whose text (FormatMessageA) names the cause and what to do, with what that
// text quotes, a path or a name, set as the code's error detail.

enum class FileAccess { Reading, Writing };

// A call that failed with `error` on `path` (user.reg, the file its link
// points to, or the directory of that file) of the Wine prefix `prefix`, to
// read or to write. Denied access says whose the prefix or the file is when
// it is not the user's: ERROR_PRIVILEGE_NOT_HELD naming the prefix of another
// user (Wine refuses it too), ERROR_INVALID_OWNER naming a file of another
// owner that could not be read; else ERROR_ACCESS_DENIED (read-only) or
// ERROR_READ_FAULT (unreadable), naming the path. ERROR_WRITE_PROTECT for a
// read-only file system; ERROR_CANNOT_MAKE when the file system has no free
// inode, ERROR_DISK_FULL when it has no room; ERROR_FILE_TOO_LARGE beyond the
// file-size limit; ERROR_NOT_ENOUGH_MEMORY; ERROR_REGISTRY_IO_FAILED for the
// rest.
LSTATUS RefuseFailedCall(int error, const std::string& path, const std::string& prefix, FileAccess access);

// A file without write permission for its owner, who wants it left alone:
// ERROR_ACCESS_DENIED naming it.
LSTATUS RefuseReadOnlyFile(const std::string& path);

// The symbolic link user.reg that could not be followed, `error` telling why:
// ERROR_FILE_NOT_FOUND naming the target it points to, which is missing;
// ERROR_CANT_RESOLVE_FILENAME for links that loop; else as RefuseFailedCall.
LSTATUS RefuseLink(int error, const std::string& link, const std::string& prefix);

// A file of the prefix that is no regular file: ERROR_CANT_ACCESS_FILE naming
// it (`name`) and what it is.
LSTATUS RefuseSpecialFile(const std::string& name, FileKind kind);

// A wineserver holds the prefix's registry: ERROR_SHARING_VIOLATION. When
// WINEPREFIX chose the prefix, the remedy names it: a plain 'wineserver -k'
// aims at ~/.wine.
LSTATUS RefuseWhileWineRuns(const std::string& prefix);
