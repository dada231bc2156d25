# tests/host/system/test_state_file.py — hostile state files: whatever is put in the state
# file's place, the daemon refuses it in one line, keeps its table and keeps answering.
import os
import signal

STATE = '{"interfaces": {"Ethernet1/1": 1001}, "status": {"slice0": {"Ethernet1/1": ' \
        '{"all": {"drops": 12}}}}}'
DROPS_ALL_1001 = "1.3.6.1.4.1.32473.3.35.1.1.1.4.1001.0"


def test_fifo_in_place_of_the_state_file_is_refused_without_blocking(agent):
    daemon = agent()
    state = daemon.dir / "state.json"
    state.write_text(STATE)
    daemon.start("--state", str(state))
    refusal = f"{state}: not a regular file: FIFO"

    # Renamed over the file (a change event), then read again on SIGHUP: nobody ever writes to
    # the FIFO, so a reader that waited for a writer would stop the daemon for good.
    fifo = daemon.dir / "fifo"
    os.mkfifo(fifo)
    os.rename(fifo, state)
    assert daemon.wait_for_log(refusal), daemon.log()
    daemon.signal(signal.SIGHUP)
    assert daemon.wait_for_log(refusal, count=2), daemon.log()
    assert daemon.log_count("keeping the running state") == 2

    get = daemon.client("snmpget", "-v2c", "-cpublic", "-Onq", DROPS_ALL_1001)
    assert get.returncode == 0, get.stderr
    assert get.stdout.split() == [f".{DROPS_ALL_1001}", "12"]
