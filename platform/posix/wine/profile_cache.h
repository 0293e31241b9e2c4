#pragma once

#include "profile_parser.h"

// The profile file read last, parsed once and kept until the file changes on
// disk (the same file, size and modification time; looked at no more than
// once a millisecond), so that reading key after key costs no parse each.

enum class ProfileState { Parsed, Missing, Unreadable };

// Points `profile` at the parsed file `fileName`: a name without a directory
// is looked for in the Windows directory, and letter case is matched as Wine
// matches it. Missing when there is no such file; Unreadable when it is not a
// regular file or cannot be read (a FIFO cannot hang the run). Throws
// std::bad_alloc when memory runs out. The profile stays valid until the
// next call or ForgetProfiles.
ProfileState OpenProfile(const char* fileName, const Profile** profile);

// Drops the profile kept since the last read; the next read parses the file
// again. Called when the registry is written, so that a large profile and a
// large hive are not held at the same time.
void ForgetProfiles();
