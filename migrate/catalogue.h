#pragma once

// The fixed catalogue of settings copied one for one from the profile to the
// registry. All reads come before all writes.

// Fills every catalogue setting from the profile, or with its default.
void ReadSettings();

// Writes every catalogue setting to the registry; "WP#" only when it is set.
void WriteSettings();
