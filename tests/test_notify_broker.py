"""099.notify against the test run's RabbitMQ broker (ctest fixture "rabbitmq"): what
it publishes, and every refusal by the broker ends with its one line and status 0."""
import uuid

import pika
import pytest

import rabbitmq_broker
from notify_hook import Hook, amqp_config

BROKER = {}


@pytest.fixture(autouse=True, scope="module")
def broker():
    # Ends the run with the skip status when the fixture found no broker installed.
    BROKER.update(rabbitmq_broker.state_for_tests())


@pytest.fixture
def hook(tmp_path):
    return Hook(tmp_path)


def connect(vhost):
    params = pika.ConnectionParameters(BROKER["host"], BROKER["port"], vhost,
                                       pika.PlainCredentials(BROKER["user"], BROKER["password"]),
                                       connection_attempts=3, retry_delay=1, socket_timeout=10)
    return pika.BlockingConnection(params)


class Consumer:
    """A private queue bound to "ctrl"/"dispatch" in one vhost; the exchange is declared
    here exactly as the hook must declare it, so any difference fails the hook's declare."""

    def __init__(self, vhost):
        self.conn = connect(vhost)
        self.ch = self.conn.channel()
        self.ch.exchange_declare("ctrl", "direct", passive=False, durable=True, auto_delete=False,
                                 internal=False, arguments=None)
        self.queue = self.ch.queue_declare("", exclusive=True).method.queue
        self.ch.queue_bind(self.queue, "ctrl", routing_key="dispatch")

    def messages(self, pool=None):
        got = []
        while True:
            method, props, body = self.ch.basic_get(self.queue, auto_ack=True)
            if method is None:
                return [m for m in got if pool is None or (m[1].headers or {}).get("pool") == pool]
            got.append((method, props, body))

    def close(self):
        self.conn.close()


@pytest.fixture
def consumer():
    made = []

    def make(vhost):
        c = Consumer(vhost)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()


def config_for(vhost="notify", **keys):
    values = dict(port=BROKER["port"], vhost=vhost, user=BROKER["user"], password=BROKER["password"])
    values.update(keys)
    return amqp_config(**values)


def assert_only_headers(props):
    assert isinstance(props, pika.BasicProperties)
    for name in ["content_type", "content_encoding", "delivery_mode", "priority", "correlation_id", "reply_to",
                 "expiration", "message_id", "timestamp", "type", "user_id", "app_id", "cluster_id"]:
        assert getattr(props, name) is None, name


def test_onestart_delivers_one_message_with_its_headers(hook, consumer):
    c = consumer("notify")
    hook.write_config(config_for(timeout=5))
    r = hook.run("onestart", pool="tank", node_id="2")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    got = c.messages()
    assert len(got) == 1
    method, props, body = got[0]
    assert (method.exchange, method.routing_key, body) == ("ctrl", "dispatch", b"<>")
    assert_only_headers(props)
    # pika hands long strings ('S') back as str; other field kinds would come back as bytes or numbers.
    assert props.headers == {"action": "start", "pool": "tank", "nodeId": "2"}
    assert all(type(v) is str for v in props.headers.values())


def test_stop_and_node_id_text_as_given(hook, consumer):
    c = consumer("notify")
    hook.write_config(config_for(heartbeat=30))
    r = hook.run("stop", pool="pool with blanks", node_id="07")
    assert (r.returncode, r.stderr) == (0, "")
    got = c.messages()
    assert [m[1].headers for m in got] == [{"action": "stop", "pool": "pool with blanks", "nodeId": "07"}]


def test_empty_vhost_means_the_default_vhost(hook, consumer):
    c = consumer("/")
    pool = f"tank-{uuid.uuid4().hex[:8]}"  # "/" may be shared with other scenarios
    hook.write_config(config_for(vhost=""))
    r = hook.run("restart", pool=pool, node_id="5")
    assert (r.returncode, r.stderr) == (0, "")
    got = c.messages(pool)
    assert [m[1].headers for m in got] == [{"action": "start", "pool": pool, "nodeId": "5"}]


@pytest.mark.parametrize("keys", [dict(password="wrong"), dict(user="nobody"), dict(vhost="no-such-vhost"),
                                  dict(password="wrong", timeout=0)],
                         ids=["password", "user", "vhost", "password-no-timeout"])
def test_refused_login(hook, keys):
    hook.write_config(config_for(**{"timeout": 5, **keys}))
    r = hook.run("onestart")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "099.notify: login failed (reply_type=3)\n")


@pytest.mark.parametrize("timeout", [5, 0])
def test_exchange_declared_with_another_type(hook, timeout):
    # Its own vhost: "ctrl" stays a fanout exchange there for the rest of the run.
    conn = connect("notify-conflict")
    conn.channel().exchange_declare("ctrl", "fanout", durable=True)
    conn.close()
    hook.write_config(config_for(vhost="notify-conflict", timeout=timeout))
    r = hook.run("onestart")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "099.notify: exchange.declare failed (reply_type=3)\n")
