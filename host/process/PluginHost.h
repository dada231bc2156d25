// host/process/PluginHost.h — loads the plug-in, builds the state database and drives the plug-in's
// root, agent and SNMP contexts.
///
/// The plug-in is loaded with dlopen so that its static initialisers register its type modules
/// and hand its registration object to `Snmp::AutoRegistree`, as in production. The host names
/// none of the plug-in's classes: what it knows of the plug-in is the contract
/// (StormControlSnmp/StormControlSnmpContract.h). The table entity and the root are created from
/// their registered types, the agent is instantiated through the root's attribute and given its
/// control value through its own, all by generic access on counted nodes; the contract's
/// `extern "C"` entry points are resolved at load, so that a library without them is refused
/// at once.
///
/// State database, mounted as the agent's view (`SnmpUtil::agentMountIs`), at the contract's
/// paths: the table entity, the plug-in's root, the slice directory of status entities and the
/// interface MIB (IntfSnmp::IfMib).
///
/// Lifecycle: `load`, `buildDatabase`, `agentIs`, `initContexts`; then `restartAgent` and
/// `logCounters` any number of times; `shutdown` unregisters every context and releases the
/// agent, the database and the library. One thread.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Pondo/String.h"
#include "Qel/Dir.h"
#include "Qel/Entity.h"
#include "StormControlSnmp/StormControlSnmpContract.h"
#include "host/switchstate/SwitchInputs.h"

namespace Host {

class PluginHost {
 public:
  /// Told the row count each time the table is ready, as `table ready: N rows` is logged.
  using ReadyHandler = std::function<void(unsigned rows)>;

  PluginHost() = default;
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;
  ~PluginHost();

  /// Loads the library at `path` and resolves what the host needs of it; false, with `error`
  /// set to one line, when it cannot.
  bool load(const std::string& path, std::string& error);
  /// Creates the database and mounts it; false with `error` when a plug-in type is missing.
  bool buildDatabase(Pondo::Ptr<Velo::TaskScheduler> scheduler, std::string& error);
  /// The table entity, once the database is built.
  const Pondo::Ptr<Qel::Entity>& mib() const noexcept { return mib_; }
  /// The plug-in's reader of the table's publications, once loaded.
  StormControlSnmp::Contract::ChangedRowFunction changedRow() const noexcept { return changedRow_; }
  /// The machine's inputs, for the state source.
  const SwitchInputs& inputs() const noexcept { return inputs_; }

  /// Sets the handler of every later table ready.
  void readyHandlerIs(ReadyHandler handler) { readyHandler_ = std::move(handler); }
  /// Instantiates the root's agent on the database's inputs, running on the scheduler; logs
  /// `table ready: N rows` once its machine reports the output ready.
  void agentIs();
  /// Deletes the root's agent and instantiates a new one; the table entity stays, so the new
  /// machine reconciles the rows the old one left.
  void restartAgent();

  /// Initialises the plug-in's handlers for the default context, then for each of `contexts`.
  void initContexts(const std::vector<std::string>& contexts);
  /// Logs the table's iterator counters, the scheduler's statistics and the live objects of
  /// every type allocated so far (`allocations: NAME=COUNT ...`, by name).
  void logCounters() const;

  /// Unregisters every initialised context from net-snmp and the host. Idempotent.
  void unregisterContexts();
  /// Unregisters every context, releases the agent and the database, and unloads the library.
  /// Whoever else holds the inputs (the state source) lets them go first. Idempotent.
  void shutdown();

 private:
  /// The root as generic access wants it: a pointer to an object of exactly its type.
  void* rootObject() const;
  static void logAllocations();
  static void onOutputChange(void* self, const Pondo::Change& change);
  void watchOutput(const Pondo::Node& agent);
  void reportReadyOnce();

  void* library_ = nullptr;
  StormControlSnmp::Contract::UnregisterContextFunction unregisterContext_ = nullptr;
  StormControlSnmp::Contract::ChangedRowFunction changedRow_ = nullptr;
  std::vector<Pondo::String> contexts_;  // initialised, in order

  Pondo::Ptr<Qel::Dir> mount_;
  Pondo::Ptr<Qel::Entity> mib_;
  Pondo::Ptr<Qel::Entity> root_;
  SwitchInputs inputs_;

  // The machine's output state, watched for readiness; held while subscribed.
  Pondo::Ptr<Pondo::Node> outputState_;
  Pondo::Subscriber outputSlot_{this, &PluginHost::onOutputChange};
  bool readyReported_ = false;
  ReadyHandler readyHandler_;
};

}  // namespace Host
