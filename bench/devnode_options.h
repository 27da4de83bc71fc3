#pragma once

// What the benches that run the mining loop against the development node
// share: its default credentials and a reward address it validates.

#include "driver/options.h"

// Options for mining against the development node at `url`; the caller sets
// the devices.
inline Options devnode_options(const char* url) {
  Options options;
  options.rpc_url = url;
  options.rpc_user = "tamrix";
  options.rpc_pass = "tamrix";
  options.coinbase_addr = "tamrixdev1qminer";
  return options;
}

// CPU only, one thread.
inline Options devnode_cpu_options(const char* url) {
  Options options = devnode_options(url);
  options.cpu_threads = 1;
  options.cpu_only = true;
  return options;
}
