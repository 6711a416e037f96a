// The exFAT images made through an exfat-fuse mount by tests/fixtures/make_exfat_images.sh;
// tests/fixtures/exfat-README.md says what each holds, and exfat-manifest.json beside them lists
// every item with its path, flags, size, SHA-256 and expected status.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The folder holding the exFAT images and exfat-manifest.json. The first call in a process
// builds them unless an up-to-date set is there (the manifest present, not older than the
// script, every image it lists present with its recorded size). Building is serialised with
// a file lock, so test processes started in parallel build the set once and all wait for it.
//
// The folder is $QUARROW_EXFAT_FIXTURE_OUT when set, otherwise exfat-fixture-images beside the
// test binary, or quarrow-exfat-fixtures-<uid> under $TMPDIR (or /tmp) when that is not
// writable. Throws std::runtime_error, carrying the script's output, when the images cannot be
// made; a test that calls it then fails with that message.
const std::string& ExFatFixtureDir();

// ExFatFixtureDir() + "/" + name.
std::string ExFatFixturePath(const std::string& name);

// The entry of exfat-manifest.json for one image (its "name"); throws std::runtime_error when
// the manifest lists no such image.
const nlohmann::json& ExFatManifestImage(const std::string& name);
