// admin.h: the administration commands of the store ("velko --check",
// "velko --reindex", "velko --repair"), run from a shell, never for a web
// request.
#pragma once

// Runs the command argv[1]; its exit status.
int runAdminCommand(int argc, char** argv);
