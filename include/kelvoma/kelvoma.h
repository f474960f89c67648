/* The core's C interface: the only thing the application uses of the core.
 *
 * Every function that returns a text returns one compact JSON document in a
 * NUL-terminated UTF-8 heap text that the caller owns and must give back,
 * exactly once, to mini_free. The functions never return NULL and never let
 * a failure escape: a failed operation answers with an error document
 * {"error":"<Czech message>","ok":false} (mini_install adds "relaunch").
 *
 * Text arguments may be NULL; NULL or text that is not valid UTF-8 reads as
 * the empty text. All functions are reentrant and keep no state. */
#ifndef KELVOMA_KELVOMA_H
#define KELVOMA_KELVOMA_H

#include <stdint.h>

#ifdef __cplusplus
#define KELVOMA_NOEXCEPT noexcept
extern "C" {
#else
#define KELVOMA_NOEXCEPT
#endif

/* Asks the application to end a running copy of the tool before the
 * installed copy is replaced. Receives the id and target_path pointers that
 * mini_install received. Returns 0 when the tool was not running, 1 when it
 * was running and has ended, anything else when it is still running. */
typedef int32_t (*StopCallback)(const char* id, const char* target_path);

/* The catalog document: an array of one object per tool, twelve text
 * members each. */
char* mini_catalog(void) KELVOMA_NOEXCEPT;

/* Checks the offered release of a manifest-based tool against the installed
 * build (0 when none is known). Success: {"available":..,"build":..,"ok":true,
 * "version":..}. */
char* mini_check(const char* id, const char* os_version, uint64_t installed_build) KELVOMA_NOEXCEPT;

/* Installs or updates a tool at target_path. Success: {"ok":true,"relaunch":..};
 * failure adds "error". "relaunch" is true exactly when stop returned 1.
 * Before the release check, and silently, it runs the recovery of
 * mini_recover beside a permitted target_path. A backup whose restore
 * failed stays on disk, whatever now occupies the target. */
char* mini_install(const char* id, const char* target_path, const char* os_version,
                   StopCallback stop) KELVOMA_NOEXCEPT;

/* Puts back what an installation of the tool that died left behind: beside
 * both targets an installation would accept ("/Applications" and the
 * "Applications" folder of HOME), the tool's own backup ("previous.app" in a
 * ".kelvoma-install-" folder) returns to a target where nothing is, and
 * abandoned folders that hold no needed backup are removed (see
 * mini_install). No network. Success: {"ok":true,"recovered":..}, true
 * when a copy was put back; failure: the error document.
 *
 * This fifth function departs on purpose from the four-function interface,
 * and with it from "mini_install is the only operation that changes the
 * disk": without it a tool whose installation died between its two renames
 * stays missing until another installation of it gets past the release
 * check, which never happens while the network is down. The application
 * calls it at start, for every tool, before its first check. Where the
 * file system offers no directory locks (some NFS mounts), nothing is done.
 * mini_install runs the same recovery for its target before the release
 * check. */
char* mini_recover(const char* id) KELVOMA_NOEXCEPT;

/* Progress of an installation. This departs on purpose from the
 * four-function interface: one more exported function, mini_install_with_progress,
 * and a second callback, so that an application can show how far a long
 * installation is. mini_install stays as it was. */
enum { KELVOMA_PHASE_DOWNLOADING = 0, KELVOMA_PHASE_UNPACKING = 1, KELVOMA_PHASE_CHECKING = 2 };

/* Told how far an installation is: the phase and `done` of `total`, on the
 * thread that called mini_install_with_progress, with the `context` given to
 * it. Downloading: bytes of the archive received of its declared size.
 * Unpacking: bytes of the archive's files written of the sizes the archive
 * declares for them. Checking (bundle identity, code signature,
 * notarization, then the replacement): 0 of 0, a phase of unknown length.
 * Phases come in that order, each once; the first report of a phase always
 * comes (done 0) and, within a phase, `done` never decreases and never
 * exceeds `total`. Reports within a phase come at most ten times a second,
 * apart from the one that reaches the total (done == total), which always
 * comes: a download or unpacking that succeeds ends at its total. A
 * failure before the download (release check, refused target) reports
 * nothing; after a failure no further report comes. The installation waits
 * while the callback runs: it should return at once (hand the numbers to
 * another thread rather than draw). */
typedef void (*ProgressCallback)(void* context, int32_t phase, uint64_t done, uint64_t total);

/* mini_install, with progress reported to `progress` (NULL: none, exactly
 * mini_install). Same arguments, same document. */
char* mini_install_with_progress(const char* id, const char* target_path, const char* os_version,
                                 StopCallback stop, ProgressCallback progress,
                                 void* context) KELVOMA_NOEXCEPT;

/* The release notes of the release mini_check offered: the tool's signed
 * "release-notes.json" beside its manifest (the manifest's address with its
 * last path segment replaced), at most 65536 bytes, fetched like the
 * manifest, signed with the tool's release key and naming exactly this id,
 * `build` and `version`. Success: {"ok":true,"text":..}, the notes as plain
 * UTF-8 text (at most 16384 bytes, no NUL) to be shown as they are, never
 * interpreted. Any failure (none published, unreachable, too large, badly
 * signed, for another release) is the error document; the update itself
 * does not depend on the notes.
 *
 * A further departure from the four-function interface: the manifest's
 * strict format leaves no room for notes, so they travel in a signed
 * document of their own that older builds never ask for. */
char* mini_release_notes(const char* id, uint64_t build, const char* version) KELVOMA_NOEXCEPT;

/* Releases a text returned by the functions above; NULL does nothing. */
void mini_free(char* text) KELVOMA_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
