// The files.* requests of the page: file transfer with the slave.
//
// files.start has the machine's agent start the slave (remote execute of
// KSLAVE.EXE, after the user's flags allow file transfer), connects to it
// and checks it; from then on each machine's slave has a FileSlave whose
// thread runs the page's requests in order. Downloads are held in memory
// for GET /api/download/ID until the page that asked for them closes;
// uploads arrive as the body of POST /api/upload.
#pragma once

#include <functional>
#include <memory>

#include "tools/ftconsole/ftclient.h"
#include "tools/webconsole/machines.h"
#include "tools/webconsole/web_server.h"

namespace qv::web {

// Starts the slave on the machine and returns the link to it, checked with
// the existence request; null with *f filled when that fails. Runs on the
// machine's worker.
using SlaveStarter = std::function<std::unique_ptr<ftc::PacketLink>(AgentSession& agent, Failure* f)>;

// The largest file held for a download, and what one page may hold at once
// (its oldest downloads are dropped beyond that).
constexpr uint64_t kMaxDownloadBytes = uint64_t{256} << 20;
constexpr uint64_t kMaxHeldPerPage = uint64_t{512} << 20;

std::unique_ptr<Feature> MakeFilesFeature(MachineList& list, const ConsoleSettings& settings);
// The same with another way to reach the slave (the tests' in-process one).
std::unique_ptr<Feature> MakeFilesFeature(MachineList& list, const ConsoleSettings& settings, SlaveStarter starter);

}  // namespace qv::web
