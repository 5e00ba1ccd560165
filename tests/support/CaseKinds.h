// The case kinds besides the plug-in's (tests/cases/README.md), one player
// each, named by a case's "kind" line. Every player checks each step's result
// as it comes, prints each failed check with its line, and returns false when
// any failed.
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

// host: the host runner (velmora-host's RunHost) against a fake plug-in.
bool RunHostCase(const std::vector<TCaseStep>& Steps);
// profile: the platform's profile-file functions in a scratch folder.
bool RunProfileCase(const std::vector<TCaseStep>& Steps);
// answers: the host runner's parts on their own: its answer book and answer
// window, its scenario reader and its command line.
bool RunAnswerCase(const std::vector<TCaseStep>& Steps);
// tcp: the TCP transport library "cl_vexo_transport.dll" from bin/tcp
// against loopback peers that the case plays itself.
bool RunTcpCase(const std::vector<TCaseStep>& Steps);
// log: the log's file writers, the process log and the clock seam they read,
// in a scratch folder that is also the current directory.
bool RunLogCase(const std::vector<TCaseStep>& Steps);
// platform: libraries, module names, paths, append files, directories,
// semaphores, events, last errors, system texts and text comparison, on the
// backend the runner was built for.
bool RunPlatformCase(const std::vector<TCaseStep>& Steps);
// relay: one TMailerManager in this process with the case's limits, a host
// callback the case holds or slows, and the transport double as its server;
// the log transcript is checked after the last step. Also false when the host
// was called after a release that freed the manager.
bool RunRelayCase(const std::vector<TCaseStep>& Steps);
// client: one TTPKTClient against the transport double, its owner thread the
// case's own. Also false when a handler ran on the owner's thread or was
// given another sender.
bool RunClientCase(const std::vector<TCaseStep>& Steps);
// worker: a TTaskHandler (records queued as words, handlers that queue, throw
// or send a window message, producer threads) and what its handlers saw.
bool RunWorkerCase(const std::vector<TCaseStep>& Steps);
// outstanding: the table of requests awaiting answers.
bool RunOutstandingCase(const std::vector<TCaseStep>& Steps);
// fileserver: the stand-in file server in-process on a loopback port over a
// scratch root, and its clients. Built where the file server is: natively
// only (VELMORA_FILESERVER_CASES).
bool RunFileServerCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
