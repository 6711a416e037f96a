// The NTFS volume images made through an ntfs-3g mount by tests/fixtures/make_ntfs_images.sh;
// tests/fixtures/ntfs-README.md says what each holds, and ntfs-manifest.json beside them lists
// every item with its listed path, flags, size, SHA-256 and expected status.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The folder holding the NTFS images and ntfs-manifest.json. The first call in a process
// builds them unless an up-to-date set is there (the manifest present, not older than the
// script, every image it lists present with its recorded size). Building is serialised with
// a file lock, so test processes started in parallel build the set once and all wait for it.
//
// The folder is $QUARROW_NTFS_FIXTURE_OUT when set, otherwise ntfs-fixture-images beside the
// test binary, or quarrow-ntfs-fixtures-<uid> under $TMPDIR (or /tmp) when that is not
// writable. Throws std::runtime_error, carrying the script's output, when the images cannot be
// made; a test that calls it then fails with that message.
const std::string& NtfsFixtureDir();

// NtfsFixtureDir() + "/" + name.
std::string NtfsFixturePath(const std::string& name);

// The entry of ntfs-manifest.json for one image (its "name"); throws std::runtime_error when
// the manifest lists no such image.
const nlohmann::json& NtfsManifestImage(const std::string& name);
