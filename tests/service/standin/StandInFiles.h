#pragma once

// What the stand-in service manager and the tests that drive it agree on: environment variables
// and the files in its folder.

// Folder of the stand-in's registry and journal; without it the manager cannot be opened.
#define VK_STANDIN_DIR_VARIABLE "VK_STANDIN_DIR"
// Set in a process the stand-in manager started as a service (the service name); only there does
// the dispatcher connect. VK_STANDIN_SERVICE_ARGS carries the start arguments as a JSON array.
#define VK_STANDIN_SERVICE_VARIABLE "VK_STANDIN_SERVICE_PROCESS"
#define VK_STANDIN_ARGUMENTS_VARIABLE "VK_STANDIN_SERVICE_ARGS"

// The registry, JSON:
//   { "admin": bool (default true), "dispatcherError": n, "dispatcherSilentMs": n,
//     "services": { name: { "displayName", "type", "start", "errorControl", "path", "account",
//                           "password" (absent when none was passed), "description", "state",
//                           "controls", "exitCode", "pid",
//                           "spawn": bool (default true: a start runs the program),
//                           "stopAfterQueries": n (a service without process: stopped after n
//                                                  status queries; negative: never),
//                           "refuseControls": bool } } }
#define VK_STANDIN_REGISTRY_FILE "scm.json"
#define VK_STANDIN_LOCK_FILE "scm.lock"
// One line per observed call, fields separated by tabs:
//   status  name type state controls exitCode specificExitCode checkPoint waitHint
//   event   source type category id(hex) stringCount dataHex onMainThread(0/1) string(percent-encoded)
//   query   name msSinceEpoch state
//   control name code error                       (ControlService)
//   control-begin name code / control-end name code   (the dispatcher calls the handler)
//   start-request name argument...               (StartServiceW)
//   service-main name argument...                (the dispatcher calls the service main function)
#define VK_STANDIN_JOURNAL_FILE "journal.log"
// Where a started service program's standard output and error go.
#define VK_STANDIN_OUTPUT_SUFFIX ".out"
// Local socket on which a running service's dispatcher takes control requests.
#define VK_STANDIN_CONTROL_SUFFIX ".ctl"
