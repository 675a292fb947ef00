// A two-node Galera cluster on loopback for tests (galera-4's provider,
// state transfer with rsync): node 1 starts the cluster, node 2 joins it.
// Each node is a throwaway server of its own (data directory, socket,
// environment, defaults file); the cluster's ports (group communication,
// incremental and full state transfer) are on 127.0.0.1 only, chosen free.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mariadb_server.h"
#include "test_util.h"

namespace quarn::test {

class GaleraCluster {
 public:
  // Where Debian's galera-4 puts the provider.
  static constexpr char kProvider[] = "/usr/lib/galera/libgalera_smm.so";
  // How long the cluster may take to form: each node's start (node 2's
  // includes the copy of node 1's data) and the wait until both are synced.
  static constexpr std::chrono::seconds kStartLimit{90};

  // One environment per node. Returns once both nodes are synced members of
  // a cluster of two; throws, with what the nodes logged, when they are not
  // within kStartLimit.
  explicit GaleraCluster(const std::vector<std::map<std::string, std::string>>& environments);
  // Stops node 2, then node 1, each as at shutdown.
  ~GaleraCluster();
  GaleraCluster(const GaleraCluster&) = delete;
  GaleraCluster& operator=(const GaleraCluster&) = delete;

  MariaDbServer& node(std::size_t i) { return *nodes_.at(i); }
  std::size_t size() const { return nodes_.size(); }

 private:
  TempDir config_;  // the nodes' defaults files
  std::vector<std::unique_ptr<MariaDbServer>> nodes_;
};

}  // namespace quarn::test
