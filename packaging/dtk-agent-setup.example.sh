#!/bin/sh
# Example: what an installer runs once to point dtk-agent at real servers.
# Replace every value; run as the service's user so the store stays its own.
set -eu
STORE=/var/lib/dtk-agent/config.db
agent() { dtk-agent --store "$STORE" "$@"; }

# Back ends.
agent config set config/vesta/endpoint/est est.example.net            # EST enrolment host[:port]
agent config set config/vesta/endpoint/mgmt https://mgmt.example.net/api  # management URL ("/register" is added)
agent config set config/agent/cloud/asn1_host lookup.example.net      # cloud lookup host
agent config set --int config/agent/cloud/asn1_port 443               # cloud lookup port

# Trust anchors for those servers (PEM bundle; the system store is used as well).
agent config set --secure --from-file /etc/ssl/certs/example-root.pem config/agent/cloud/trustedcerts/cert

# Identity given by the back end for this customer (policy-delivered: secure view).
agent config set --secure config/vesta/business/uuid 00000000-0000-4000-8000-000000000001
agent config set --secure config/agent/affiliate/uuid 00000000-0000-4000-8000-000000000002
agent config set --secure config/vesta/endpoint/policy/policy https://policy.example.net/policy

# Activation code (persistent; never printed again).
agent config set --persistent --from-file /root/activation-code config/vesta/install/token install_token

# Product version reported at registration.
agent config set config/agent/version 1.0
agent config set config/agent/revision 1

# Proxy discovery: the URL every candidate is tested against, a PAC file, and
# the sources to try (bits: 0 direct, 1 system, 2 configured, 3 PAC, 4 WPAD by
# DHCP, 5 WPAD by DNS).
agent config set --secure config/proxy/testurl https://lookup.example.net/
agent config set --secure config/proxy/pacloc http://wpad.example.net/proxy.pac
agent config set --secure --int config/proxy/srcfl 15

agent register --timeout 120
