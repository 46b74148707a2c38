# Two network namespaces, a server's and a client's, joined by a veth pair: a real link inside
# this machine for the scripts that capture live traffic. Source it, then
#   veth_pair_up NAME SERVER_ADDRESS CLIENT_ADDRESS    (IPv4 addresses, /24)
# makes them and sets server_ns, client_ns, server_link and client_link (names built from NAME,
# which should carry the process id); veth_pair_down removes them again, and may run at any time.
# Needs root.

veth_pair_names() { # veth_pair_names NAME
    server_ns=px${1}s client_ns=px${1}c
    server_link=px${1}a client_link=px${1}b
}

veth_pair_up() { # veth_pair_up NAME SERVER_ADDRESS CLIENT_ADDRESS
    veth_pair_names "$1"
    ip netns add "$server_ns"
    ip netns add "$client_ns"
    ip link add "$server_link" type veth peer name "$client_link"
    ip link set "$server_link" netns "$server_ns"
    ip link set "$client_link" netns "$client_ns"
    ip -n "$server_ns" addr add "$2/24" dev "$server_link"
    ip -n "$client_ns" addr add "$3/24" dev "$client_link"
    local ns
    for ns in "$server_ns" "$client_ns"; do ip -n "$ns" link set lo up; done
    ip -n "$server_ns" link set "$server_link" up
    ip -n "$client_ns" link set "$client_link" up
}

veth_pair_down() {
    # Deleting a namespace deletes the veth end inside it, and with it the peer.
    if [ -n "${client_ns:-}" ]; then ip netns del "$client_ns" 2>/dev/null || true; fi
    if [ -n "${server_ns:-}" ]; then ip netns del "$server_ns" 2>/dev/null || true; fi
    if [ -n "${server_link:-}" ]; then ip link del "$server_link" 2>/dev/null || true; fi
}
