// The trace suite of the table machine: the texts it traces, in order, with their levels,
// components and functions, and that nothing is formatted for a disabled level. The scenario
// suites check state; the texts of their scenarios are checked here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SmFixture.h"
#include "StormControlSnmp/StormControlIfTableSm.h"

namespace StormControlSnmp::SmTest {
namespace {

using StormControlIfTableSmTraceTest = SmFixture;

const std::string rootPrefix = "StormControlIfTableSm/";
const std::string statusStreamText =
    "statusStream = from( slice.entityPtr< Status >[].intfStatus[] ): intfId=";
const std::string ifMibStreamText = "ifMibStream = from( ifMib.ifIndexByIntfId[] ): intfId=";
const std::string noIfIndexText = "filter( ifIndexOpt ) failed, terminating pipeline";
const std::string noStatusText = "filter( intfStatusOpt ) failed, terminating pipeline";

/// The ifIndex the scan scenarios give interface "EthernetN": 10 + N.
U32 ifIndexOf(const std::string& intf) { return 10 + U32(intf.back() - '0'); }

/// The root's traces of writing the four rows of `ifIndex` (deleting them without `status`).
Events intoTraces(U32 ifIndex, const StatusPtr& status) {
  Events out{rootPrefix +
             "6/ foreach( [ TCType::all(), TCType::broadcast(), TCType::multicast(), "
             "TCType::unknownUnicast() ] ) flattening 4 elements"};
  for (TC tc : stormControlTCTypes) {
    const std::string key = fmt::format("{}", Key(ifIndex, tc));
    const std::string into = rootPrefix + "7/into( mib.stormControlIfTable[ key ] ): ";
    out.push_back(rootPrefix + "9/Flattening element: " + stringValue(tc).stdString());
    out.push_back(status ? into + "inserting k1=" + key + ", value=Tuple( " + key + ", " +
                               entityText(status) + " )"
                         : into + "deleting k1=" + key);
  }
  return out;
}

/// Expects every record of the machine itself to come from `function`.
void expectRootTracedFrom(const std::vector<Pondo::TraceRecord>& records, const char* function) {
  for (const auto& r : records) {
    if (r.component != "StormControlIfTableSm") continue;
    EXPECT_STREQ(r.function, function) << r.text;
  }
}

std::string yielding(U32 items, U32 deletions) {
  return "Yielding in reconciliation processing after processing " + std::to_string(items) +
         " items, including " + std::to_string(deletions) + " deletions .";
}

std::string scanDone(U32 items, U32 deletions) {
  return "Deletion scan for reconciliation is done, last task run processed " +
         std::to_string(items) + " items, deleting " + std::to_string(deletions) + " items.";
}

// ---- start-up and handshake ---------------------------------------------------------------

// Start-up traces its steps; each child traces its initial scan's end once, and the handshake
// says it is done. A second handleInitialized traces nothing.
TEST_F(StormControlIfTableSmTraceTest, StartUpAndHandshakeTexts) {
  intfIs("Ethernet1", 11);
  intfIs("Ethernet2", 12);
  publishIn(*status0_, "Ethernet3");
  start();
  const std::size_t records = traces_.records.size();
  sm_->handleInitialized();
  EXPECT_EQ(traces_.records.size(), records);
  runUntilInitialScanDone();
  EXPECT_EQ(rootTexts(), (Events{"Reconciling mibStormControlIfTableOutput: false",
                                 "create local SMs", "create non-public arg SMs", "initialized",
                                 "Initial scan done for child SMs. Now scanning with events "
                                 "triggered."}));
  EXPECT_EQ(tracedCount("IfMibSm2 initial scan, and parent scan, complete."), 1);
  EXPECT_EQ(tracedCount("SliceSm0 initial scan, and parent scan, complete."), 1);
  settle();
  EXPECT_EQ(tracedCount("IfMibSm2 scan, and parent scan, complete."), 1);
  EXPECT_EQ(tracedCount("SliceSm0 scan, and parent scan, complete."), 1);
}

// The handshake says which condition holds it back: the interface-index scan, then the status
// scan, then a missing child; once all hold it completes. Each text once, in that order.
TEST_F(StormControlIfTableSmTraceTest, HandshakeTracesWhatHoldsItBack) {
  intfIs("Ethernet1", 11);
  intfIs("Ethernet2", 12);
  start();
  ASSERT_FALSE(sm_->initialScanDone()) << "the interface-index scan yielded";
  const Qel::TypeData& type = *sm_->typeData();
  auto& state = *sm_->inputSmScanState();
  state.statusStreamScanIs(false);  // whatever the status scan did, it has not reported
  traces_.records.clear();

  Qel::attrInvoke(type, sm_.get(), Sm::handleInitialScanDoneAttr);
  state.ifMibStreamScanIs(true);
  Qel::attrInvoke(type, sm_.get(), Sm::handleInitialScanDoneAttr);
  const auto child =
      std::any_cast<Pondo::Ptr<Sm::IfMibSm2>>(Qel::attrDel(type, sm_.get(), Sm::ifMibSm2Attr));
  ASSERT_TRUE(child);
  state.statusStreamScanIs(true);  // both flags: the handshake runs and misses the child
  EXPECT_FALSE(sm_->initialScanDone());
  sm_->ifMibSm2Is(ifMib_, sm_.get());
  Qel::attrInvoke(type, sm_.get(), Sm::handleInitialScanDoneAttr);
  EXPECT_TRUE(sm_->initialScanDone());

  const std::vector<std::string> handshake{
      " ifMibStream scan is false", " statusStream scan is false",
      "Initial scan yielding for child SM StormControlIfTableSm.",
      "Initial scan done for child SMs. Now scanning with events triggered."};
  Events seen;
  for (const auto& r : records()) {
    if (std::string(r.function) != "handleInitialScanDone") continue;
    EXPECT_EQ(r.level, 9) << r.text;
    EXPECT_EQ(r.component, "StormControlIfTableSm");
    seen.push_back(r.text);
  }
  EXPECT_EQ(seen, handshake);
}

// ---- pipeline -----------------------------------------------------------------------------

// A status event and its removal trace the stream, the fan-out and every row, in order, all
// from the status entry point.
TEST_F(StormControlIfTableSmTraceTest, StatusStreamTexts) {
  ifIndexIs("Ethernet1", 5);
  startReady();
  const StatusPtr status = publishIn(*status0_, "Ethernet1");
  EXPECT_EQ(traced(),
            concat({{"EntityPtrSm1/8/k: Ethernet1", rootPrefix + "7/" + statusStreamText +
                                                        "Ethernet1 intfStatusOpt=Optional( " +
                                                        entityText(status) + " )"},
                    intoTraces(5, status)}));
  expectRootTracedFrom(records(), "eventToStatusStream");
  traces_.records.clear();
  status0_->intfStatusDel("Ethernet1");
  EXPECT_EQ(traced(), concat({{"EntityPtrSm1/8/k: Ethernet1", rootPrefix + "7/" + statusStreamText +
                                                                  "Ethernet1 intfStatusOpt=None"},
                              intoTraces(5, nullptr)}));
}

// Interface-index events trace the stream, the fan-out over the entities and each filter.
TEST_F(StormControlIfTableSmTraceTest, IfMibStreamTexts) {
  publishIn(*status0_, "Ethernet1");
  startReady();
  ifIndexIs("Ethernet2", 6);
  EXPECT_EQ(
      traced(),
      (Events{"IfMibSm2/8/k: Ethernet2",
              rootPrefix + "7/" + ifMibStreamText + "Ethernet2 ifIndexOpt=Optional( 6 )",
              rootPrefix + "6/ foreach( slice.entityPtr ) flattening 1 elements",
              rootPrefix + "9/Flattening element: status0", rootPrefix + "6/" + noStatusText}));
  expectRootTracedFrom(records(), "eventToIfMibStream");
  traces_.records.clear();
  ifIndexDel("Ethernet2");
  EXPECT_EQ(traced(), (Events{"IfMibSm2/8/k: Ethernet2",
                              rootPrefix + "7/" + ifMibStreamText + "Ethernet2 ifIndexOpt=None",
                              rootPrefix + "6/" + noIfIndexText}));
}

// Every filtered event traces its filter once: a status event or an ifIndex removal for an
// interface without ifIndex, and an ifIndex event once per entity without the interface.
TEST_F(StormControlIfTableSmTraceTest, FilterTexts) {
  const Pondo::Ptr<Status> status1 = addEntity("status1");
  publishIn(*status0_, "Ethernet1");
  ifIndexIs("Ethernet2", 6);
  startReady();
  ifIndexDel("Ethernet2");
  publishIn(*status0_, "Ethernet2", 200);
  EXPECT_EQ(tracedCount(noIfIndexText), 2);
  ifIndexIs("Ethernet3", 7);
  EXPECT_EQ(tracedCount(noStatusText), 2) << "one filter per entity without the interface";
}

// A present entry with a null value prints as a null status, and is no filtered status.
TEST_F(StormControlIfTableSmTraceTest, NullStatusEntryTexts) {
  ifIndexIs("Ethernet1", 5);
  startReady();
  status0_->intfStatusIs("Ethernet1", nullptr);
  EXPECT_EQ(textsStarting({statusStreamText}),
            Events{statusStreamText + "Ethernet1 intfStatusOpt=Optional( null )"});
  status0_->intfStatusIs("Ethernet2", nullptr);
  ifIndexIs("Ethernet2", 6);
  EXPECT_EQ(tracedCount(noStatusText), 0);
}

// ---- scans --------------------------------------------------------------------------------

// The interface-index rescan traces its yield, then each key's event exactly once.
TEST_F(StormControlIfTableSmTraceTest, IfMibRescanTexts) {
  for (const char* name : {"Ethernet1", "Ethernet2", "Ethernet3", "Ethernet4"}) {
    intfIs(name, ifIndexOf(name));
  }
  start();
  runUntilInitialScanDone();
  traces_.records.clear();
  scheduler_->yieldAfterChecksIs(2);
  const Events order = ifMibOrder();
  ASSERT_TRUE(scheduler_->runOne());
  EXPECT_EQ(tracedCount("  yielding after 2 iterations (4 total items)"), 1);
  ifIndexDel(order[3]);
  intfIs("Ethernet5", ifIndexOf("Ethernet5"));
  settle();
  for (const std::string& intf : order) {
    EXPECT_EQ(textsStarting({ifMibStreamText + intf + " "}).size(), 1u) << intf;
  }
}

// The status rescan traces the entity's yield and the slice machine's suspension on it, then
// the resumed entity's end and each remaining interface's event once.
TEST_F(StormControlIfTableSmTraceTest, SliceRescanTexts) {
  for (const char* name : {"Ethernet1", "Ethernet2", "Ethernet3"}) intfIs(name, ifIndexOf(name));
  start();
  runUntilInitialScanDone();
  traces_.records.clear();
  scheduler_->yieldAfterChecksIs(2);
  Events order;
  for (auto it = status0_->intfStatus().begin(); !it.atEnd(); ++it) {
    order.push_back(it.key().stdString());
  }
  ASSERT_TRUE(scheduler_->runOne());  // the interface-index rescan yields after two keys
  ASSERT_TRUE(scheduler_->runOne());  // the status rescan yields inside the entity
  EXPECT_EQ(tracedCount("status0  yielding after 2 iterations (3 total items)"), 1);
  EXPECT_EQ(textsStarting({" child yielding after 0 iterations"}).size(), 1u);
  status0_->intfStatusDel(Pondo::String(order[0]));
  settle();
  EXPECT_EQ(tracedCount("EntityPtrSm1 scan complete. Processed 1 children. "), 1);
  EXPECT_EQ(textsStarting({statusStreamText + order[1] + " "}).size(), 1u);
  EXPECT_EQ(textsStarting({statusStreamText + order[2] + " "}).size(), 1u);
}

// ---- reconciliation -----------------------------------------------------------------------

// Reconciliation traces that it starts, every run of the deletion scan with its counts, the
// end, and, asked again once ready, that it is ready already.
TEST_F(StormControlIfTableSmTraceTest, ReconciliationTexts) {
  const StatusPtr gone = newStatus("Ethernet0");
  ifIndexIs("Ethernet1", 5);
  const StatusPtr s1 = publishIn(*status0_, "Ethernet1");
  intfIs("Ethernet2", 7);
  rowIs(2, TC::all, gone);
  rowsIs(5, s1);
  rowsIs(7, newStatus("Ethernet2"));
  rowIs(9, TC::broadcast, gone);
  rowIs(12, TC::all, gone);
  start();
  EXPECT_EQ(tracedCount("Reconciling mibStormControlIfTableOutput: true"), 1);
  runUntilInitialScanDone();
  scheduler_->yieldAfterChecksIs(3);
  settle();
  EXPECT_EQ(
      textsStarting({"Yielding in reconciliation", "Deletion scan"}),
      (Events{yielding(1, 1), yielding(3, 0), yielding(3, 0), yielding(3, 1), scanDone(1, 1)}));
  EXPECT_EQ(tracedCount("Input scans for mibStormControlIfTableOutput complete"), 5)
      << "traced on every run of the scan";
  sm_->handleMibStormControlIfTableOutputInputReady();
  EXPECT_EQ(tracedCount(" already ready, not reconciling."), 1);
}

// A synchronous machine's deletion scan traces its end only.
TEST_F(StormControlIfTableSmTraceTest, SynchronousReconciliationTexts) {
  ifIndexIs("Ethernet1", 5);
  const StatusPtr s1 = publishIn(*status0_, "Ethernet1");
  rowIs(2, TC::all, newStatus("Ethernet0"));
  rowsIs(5, s1);
  start(Ostra::SmControl::synchronousOn);
  EXPECT_EQ(textsStarting({"Yielding in reconciliation", "Deletion scan"}),
            (Events{scanDone(5, 1)}));
}

// ---- levels and handlers ------------------------------------------------------------------

// With level 7 off the rows are written without stream or insert traces and no status is
// formatted; with level 7 on again, they are.
TEST_F(StormControlIfTableSmTraceTest, DisabledLevelFormatsNothing) {
  handler()->levelMaskIs(U16(0xffff & ~(1u << 7)));
  const StatusPtr status = intfIs("Ethernet1", 5);
  start();
  settle();
  ASSERT_TRUE(rowsReferTo(5, status));
  EXPECT_EQ(levelCount(7), 0);
  EXPECT_EQ(tracedCount("Flattening element: all"), 2) << "other levels still trace";
  EXPECT_EQ(CountedIntfStatus::texts, 0) << "a status was formatted for a disabled level";
  handler()->levelMaskIs(0xffff);
  publishIn(*status0_, "Ethernet1", 200);
  EXPECT_GT(CountedIntfStatus::texts, 0);
  EXPECT_EQ(levelCount(7), 5) << "the stream event and four insertions";
}

// Without a trace name the machine traces to the handler named "StormControlIfTableSm".
TEST_F(StormControlIfTableSmTraceTest, EmptyTraceNameUsesDefaultHandler) {
  TraceLevels levels("StormControlIfTableSm", U16(1u << 9));
  Ostra::SmControl c = control();
  c.traceNameIs(Pondo::String());
  sm_ = Sm::StormControlIfTableSmIs(mib_, slice_, ifMib_, c);
  EXPECT_EQ(sm_->traceHandle().name(), "StormControlIfTableSm");
  const Events texts = traces_.texts("StormControlIfTableSm");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "create local SMs"), texts.end());
  EXPECT_TRUE(traced().empty());
}

// Pipeline values the traces above do not show print as the traces would.
TEST(KrelPrintTest, PipelineValues) {
  using KrelCode::krelPrint;
  EXPECT_EQ(krelPrint(U32Optional(0)), "Optional( 0 )");
  EXPECT_EQ(krelPrint(U32Optional(0xffffffffu)), "Optional( 4294967295 )");
  EXPECT_EQ(krelPrint(KrelCode::OutputElement{Key(5, TC::all), nullptr}),
            "Tuple( {ifIndex=5, trafficClass=all}, null )");
}

}  // namespace
}  // namespace StormControlSnmp::SmTest
