#pragma once

// The fixed name of the lock that lets one copy of Kavro run per session.
inline constexpr char InstanceLockName[] = "{247610B8-DF72-4EF9-8D69-1E9F7789E3EA}";

// The process entry: loads the extraction engine, takes the single-instance
// lock (a second copy ends silently), shows the main window and runs the event
// loop until it closes. Returns the exit code, 0 in every case.
int RunKavro(int argc, char** argv);

// Tells the user that the crypto library could not be loaded (caption "error",
// an OK button) and ends the process with exit code 0 at once.
[[noreturn]] void RefuseToStartWithoutCryptoLibrary(int argc, char** argv);
