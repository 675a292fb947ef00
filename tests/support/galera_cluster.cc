#include "galera_cluster.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>

namespace quarn::test {
namespace {

// Distinct loopback ports that were free a moment ago.
std::vector<int> free_ports(std::size_t count) {
  std::set<int> ports;
  while (ports.size() < count) ports.insert(free_loopback_port());
  return {ports.begin(), ports.end()};
}

std::string status(Connection& connection, const std::string& name) {
  const auto rows = connection.rows("SHOW STATUS LIKE '" + name + "'");
  return rows.size() == 1 && rows[0].size() == 2 ? rows[0][1].value_or("") : "";
}

// rsync's daemon, which receives a full state transfer, serves it as the
// user nobody when root starts it (the tests run as root in CI): the data
// directory must be nobody's to write, and the way to it open.
void open_to_rsync(const MariaDbServer& node) {
  if (geteuid() != 0) return;
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) throw std::runtime_error("no user nobody for rsync's daemon");
  bool done = ::chmod(node.root_dir().c_str(), 0711) == 0 &&
              ::lchown(node.data_dir().c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(node.data_dir()))
    done = done && ::lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  if (!done) throw std::runtime_error("cannot give " + node.data_dir() + " to nobody");
}

bool synced(const MariaDbServer& node) {
  try {
    Connection connection(node.socket_path());
    return status(connection, "wsrep_local_state_comment") == "Synced" &&
           status(connection, "wsrep_cluster_size") == "2" && status(connection, "wsrep_ready") == "ON";
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

GaleraCluster::GaleraCluster(const std::vector<std::map<std::string, std::string>>& environments) {
  if (!std::filesystem::exists(kProvider))
    throw std::runtime_error(std::string("no Galera provider at ") + kProvider + " (Debian: galera-4)");
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  const std::vector<int> ports = free_ports(3 * environments.size());
  const std::string first_node = "127.0.0.1:" + std::to_string(ports[0]);
  for (std::size_t i = 0; i < environments.size(); ++i) {
    const std::string name = "node" + std::to_string(i + 1);
    const std::string gcomm = "127.0.0.1:" + std::to_string(ports[3 * i]);
    const std::string ist = "127.0.0.1:" + std::to_string(ports[3 * i + 1]);
    const std::string sst = "127.0.0.1:" + std::to_string(ports[3 * i + 2]);
    // The state transfer script reads the node's defaults file (with
    // --no-defaults, the machine's own): a file of the test's own.
    const std::string defaults = config_.file(name + ".cnf");
    write_file(defaults, "[mysqld]\n");
    nodes_.push_back(std::make_unique<MariaDbServer>(
        environments[i],
        std::vector<std::string>{
            "--defaults-file=" + defaults,
            "--wsrep-on=ON",
            std::string("--wsrep-provider=") + kProvider,
            "--wsrep-cluster-name=quarn-test",
            "--wsrep-cluster-address=gcomm://" + (i == 0 ? std::string() : first_node),
            "--wsrep-node-name=" + name,
            "--wsrep-node-address=" + gcomm,
            // A small ring buffer of write sets: the tests' are few and small.
            "--wsrep-provider-options=gmcast.listen_addr=tcp://" + gcomm + ";ist.recv_addr=" + ist +
                ";gcache.size=16M",
            "--wsrep-sst-method=rsync",
            "--wsrep-sst-receive-address=" + sst,
            "--binlog-format=ROW",
            "--innodb-autoinc-lock-mode=2",
        },
        open_to_rsync));
  }
  for (const auto& node : nodes_) {
    while (!synced(*node)) {
      if (std::chrono::steady_clock::now() > deadline || !node->alive())
        throw std::runtime_error("the Galera cluster did not form:\n" + node->error_log());
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
}

GaleraCluster::~GaleraCluster() {
  while (!nodes_.empty()) nodes_.pop_back();
}

}  // namespace quarn::test
