// The update check: fetches the small update information file over HTTP and answers
// whether it announces a later version than this build's; and the two ways of starting
// the separate updater program.
//
// The update information file is an INI file; only the value VERSION of section [Quarrow]
// is read, a version written like this program's own (for example 1.920 or 0.2.0). Anything
// else in it is ignored.
//
// The check never trusts the server: it follows no redirect, takes only an answer with
// status 200, reads at most kUpdateInfoMaxBytes of body and gives up after a few seconds,
// however slowly the answer arrives. Every failure answers "no newer version".
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Largest update information file accepted, in bytes.
constexpr qint64 kUpdateInfoMaxBytes = 64 * 1024;
// Longest time a check may take, in milliseconds.
constexpr int kUpdateCheckTimeoutMs = 5000;

// Where the file is fetched from: the environment variable QUARROW_UPDATE_URL when it is
// set and not empty, otherwise the address fixed at build time (QUARROW_UPDATE_URL).
QUrl UpdateInfoUrl();

// This build's product version.
QString LocalProductVersion();

// The VERSION value of section [Quarrow] of an update information file, trimmed; empty when
// the file holds none.
QString ServerVersionOf(const QByteArray& ini);

// Whether server names a later version than local. A version is digits and dots ("1.920",
// "0.1.0"); any other text is no version and never later. Two versions with at most one dot
// each compare as decimal numbers (1.9 and 1.900 are equal, 1.95 is later than 1.920);
// otherwise they compare part by part as whole numbers (0.10.0 is later than 0.9.1), a
// missing part counting as 0.
bool IsNewerVersion(const QString& local, const QString& server);

// The check against url, taking at most timeoutMs. False with *error (when given) saying
// why on any failure: not an http or https address, no connection, a time-out, a redirect
// or any status but 200, a body over kUpdateInfoMaxBytes, no version in the file. Needs a
// QCoreApplication; runs a local event loop that handles no user input.
bool CheckForUpdateAt(const QUrl& url, int timeoutMs, QString* error = nullptr);

// The check against UpdateInfoUrl() within kUpdateCheckTimeoutMs: true when the server
// announces a later version than LocalProductVersion().
bool CheckForUpdate(QString* error = nullptr);

// Start the updater program ("UpdateManager" on PATH) without waiting for it: quietly
// (argument "q") after a positive check at start-up, or without arguments for the "Check for
// Updates..." command. Answer whether it was started; a missing updater changes nothing.
bool StartUpdaterQuietly();
bool StartUpdaterInteractive();
