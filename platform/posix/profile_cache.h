#pragma once

// Drops the profile kept since the last read; the next read parses the file
// again. Called when the registry is written, so that a large profile and a
// large hive are not held at the same time.
void ForgetProfiles();
