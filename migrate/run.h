#pragma once

// The whole life of the tool: locate the profile, copy it, return the exit
// status (0 copied, 1 profile missing, 2 values not stored or no usable
// Windows directory).
int RunMigration();
