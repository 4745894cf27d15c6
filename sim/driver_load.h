// `nvxdriver load`: steady traffic through a running driver simulator for a chosen time, made
// from inside the machine so that its rate is not bounded by starting a process per command.
//
//   nvxdriver load [--instance NAME] --seconds S [--per-second R] -- P COMMAND [ARGS...] [-- P ...]
//
// Each group after a "--" is a driver command (as `nvxdriver ctl` takes it) with a period P: it
// runs at every P-th step (P = 1: every step). Steps follow each other as fast as the driver
// answers, or at most R a second. A command that fails is counted, never retried, and the load
// goes on; one that finds no driver is sent again, and a driver out of reach for 10 s ends the
// load (exit 3). At the end one JSON line per group: {"event":"load","command":"send ...",
// "period":P,"runs":N,"failed":F,"first_failure":"..."}, then {"event":"load_done","steps":N,
// "ms":T}. Exit status 0 when every run of every group succeeded, 1 otherwise, 2 usage.
#pragma once

#include <string>
#include <vector>

namespace nvxdriver {

int LoadCommand(const std::wstring& instance, const std::vector<std::string>& args);

}  // namespace nvxdriver
