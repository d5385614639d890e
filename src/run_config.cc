// Maps the parsed settings to the run's configuration, once.
#include "run_config.h"

#include <cstdlib>

#include "mqtt_packets.h"

namespace {

// Any of the certificate options, ALPN or a pre-shared key asks for TLS.
void map_tls(const PublisherSettings& st, ConnectRequest& r) {
  r.tls = st.cafile != nullptr || st.capath != nullptr || st.cert != nullptr || st.key != nullptr ||
          st.alpn != nullptr || st.psk != nullptr;
  r.cafile = st.cafile;
  r.capath = st.capath;
  r.cert = st.cert;
  r.key = st.key;
  r.alpn = st.alpn;
  r.psk = st.psk;
  r.psk_identity = st.psk_identity;
}

void map_connection(const PublisherSettings& st, ConnectRequest& r) {
  r.clientid = st.clientid;
  r.username = st.username;
  r.password = st.password;
  r.keepalive = st.keepalive;
  r.protocol_version = st.protocol_version;
  r.session_expiry = st.protocol_version == kMqtt5 ? st.session_expiry : -1;
  map_tls(st, r);
  if (!st.proxy.host.empty()) {
    r.proxy_kind = st.proxy.http ? ProxyKind::kHttp : ProxyKind::kSocks5;
    r.proxy_host = st.proxy.host;
    r.proxy_port = st.proxy.port;
    r.proxy_username = st.proxy.username;
    r.proxy_password = st.proxy.password;
  }
  r.bind_address = st.bind_address;
  r.ws_path = st.ws_path;
  r.will_topic = st.will_topic;
  r.will_payload = st.will_payload;
  r.will_qos = st.will_qos;
  r.will_retain = st.will_retain != 0;
}

SessionConfig session_config(const PublisherSettings& st) {
  SessionConfig c;
  for (const BrokerAddress& b : st.brokers) c.brokers.push_back({b.host, b.port});
  c.name_brokers = st.verbose && c.brokers.size() > 1;
  map_connection(st, c.request);
  PublishProperties p;
  p.message_expiry = st.message_expiry;
  if (st.content_type != nullptr) p.content_type = st.content_type;
  for (const UserProperty& u : st.user_properties) p.user_properties.emplace_back(u.name, u.value);
  c.properties = encode_publish_properties(p);
  c.qos = st.qos;
  c.retain = st.retained != 0;
  c.reconnect = st.reconnect;
  c.skip_refused = st.refused == kRefusedSkip;
  return c;
}

}  // namespace

RunConfig make_run_config(const PublisherSettings& st, const char* topic) {
  RunConfig c;
  c.topic = topic;
  c.session = session_config(st);
  c.verbose = st.verbose != 0;
  c.delimiter = st.delimiter;
  c.maxdatalen = st.maxdatalen;
  c.topic_separator = st.topic_separator;
  c.spool = st.spool != nullptr;
  if (c.spool) c.spool_options.dir = st.spool;
  c.spool_options.size_bytes = st.spool_size;
  c.spool_options.drop_oldest = st.spool_full == kSpoolFullDropOldest;
  c.spool_options.sync_seconds = st.spool_sync;
  c.spool_options.max_record = static_cast<size_t>(st.maxdatalen);
  c.exactly_once = st.qos == 2 && st.protocol_version == kMqtt5 && st.session_expiry >= 0;
  c.stats_interval = st.stats_interval;
  c.rate = st.rate;
  return c;
}
