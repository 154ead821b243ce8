"""099.notify without a broker: usage page, action suffixes, environment, the INI file
as the program reads it, and connections that fail before any AMQP is spoken."""
import socket
import subprocess
import time

import pytest

from kelm_harness import binary
from notify_hook import Hook, amqp_config


@pytest.fixture
def hook(tmp_path):
    return Hook(tmp_path)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect_failure(port):
    return f"099.notify: connect to 127.0.0.1:{port} failed: a socket error occurred\n"


def test_no_argument_prints_the_usage_page():
    r = subprocess.run(["notify-under-test"], executable=binary("099.notify"), capture_output=True, text=True)
    assert r.returncode == 0
    assert r.stderr == ""
    for text in ["notify-under-test", "AMQP event", "pool goes up or down", "durable direct exchange \"ctrl\"",
                 "\"dispatch\"", "action, pool and nodeId", "\"<>\"", "ACTION", "start or stop",
                 "PELLIX_POOL", "name of the pool", "PELLIX_NODE_ID", "id of this node",
                 "/usr/local/etc/pellix-storage.config", "[AMQP]", "Host, Port, Vhost, Timeout, Heartbeat",
                 "[Event]", "User, Password", "service control program", "exits 0", "never blocks"]:
        assert text in r.stdout, text


@pytest.mark.parametrize("arg", ["art", "", "tart", "START", "stopped", "starts", "start "])
def test_unknown_action_is_refused_without_a_line_end(hook, arg):
    r = hook.run(arg)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", f"Unknown param: {arg}")


@pytest.mark.parametrize("arg", ["start", "onestart", "restart", "stop", "onestop", "xstop"])
def test_accepted_actions_go_on_to_the_environment(hook, arg):
    r = hook.run(arg, pool=None)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "PELLIX_POOL is not set\n")


@pytest.mark.parametrize("pool,node_id,line", [
    (None, None, "PELLIX_POOL is not set\n"),
    ("", "2", "PELLIX_POOL is not set\n"),
    ("tank", None, "PELLIX_NODE_ID is not set\n"),
    ("tank", "", "PELLIX_NODE_ID is not set\n"),
])
def test_missing_environment(hook, pool, node_id, line):
    hook.write_config(amqp_config(port=closed_port()))
    r = hook.run("onestart", pool=pool, node_id=node_id)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", line)


def test_missing_or_unreadable_config_file_is_silent(hook):
    r = hook.run("onestart")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    hook.config.mkdir()
    r = hook.run("stop")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


@pytest.mark.parametrize("text", [
    "",
    "[AMQP]\nHost = 127.0.0.1\n",
    "[AMQP]\nPort = 5672\n",
    "[AMQP]\nHost = 127.0.0.1\nPort =\n",
    "Host = 127.0.0.1\nPort = 5672\n",
    "[Event]\nHost = 127.0.0.1\nPort = 5672\n",
    "[AMQP]\n# Host = 127.0.0.1\nPort = 5672\n",
    "[amqp]\nHost = 127.0.0.1\nPort = 5672\n",
])
def test_host_and_port_must_be_configured(hook, text):
    hook.write_config(text)
    r = hook.run("onestart")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "099.notify: AMQP Host/Port is not configured\n")


@pytest.mark.parametrize("template", [
    "[ AMQP ]\nHost = 127.0.0.1\nPort = {port}\nTimeout = 2\n",
    "[AMQP]\r\nHost=127.0.0.1\r\nPort={port}\r\nTimeout=2\r\n",
    "[AMQP]\nHost = 127.0.0.1\nTimeout = 2\nPort = {port}",
    "; broker\n#Port = 1\n[AMQP]\n\n  Host\t=\t127.0.0.1  \nPort = 1\nPort = {port}\nTimeout = 2 # seconds\n",
    "Host = 10.0.0.9\n[Event]\nPort = 1\n[AMQP]\nHost = 127.0.0.1\nPort = {port}\n",
], ids=["blanks-in-header", "crlf", "no-final-newline", "comments-and-duplicates", "other-sections"])
def test_config_is_read_by_the_line_rules(hook, template):
    port = closed_port()
    hook.write_config(template.format(port=port))
    r = hook.run("onestart")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", connect_failure(port))


@pytest.mark.parametrize("timeout", [None, "0", "2", "junk"])
def test_closed_port_fails_with_its_line(hook, timeout):
    port = closed_port()
    hook.write_config(amqp_config(port=port, timeout=timeout))
    r = hook.run("stop")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", connect_failure(port))


def test_port_is_read_by_its_leading_digits(hook):
    port = closed_port()
    hook.write_config(amqp_config(port=f"{port}abc", timeout=2))
    r = hook.run("onestart")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", connect_failure(port))


@pytest.mark.parametrize("port,shown", [("amqp", 0), ("0", 0), ("-1", -1), ("70000", 70000), ("99999999999", 2147483647)])
def test_port_outside_the_tcp_range_is_refused(hook, port, shown):
    # 70000 must not wrap around to port 4464 on its way to the resolver.
    hook.write_config(amqp_config(port=port, timeout=2))
    r = hook.run("onestart")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", f"099.notify: connect to 127.0.0.1:{shown} failed: invalid parameter\n")


def test_silent_listener_times_out_with_timeout_2(hook):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        hook.write_config(amqp_config(port=listener.getsockname()[1], timeout=2, user="u", password="p"))
        began = time.monotonic()
        r = hook.run("onestart")
        took = time.monotonic() - began
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "099.notify: login failed (reply_type=2)\n")
    assert 1.8 <= took < 10, took
