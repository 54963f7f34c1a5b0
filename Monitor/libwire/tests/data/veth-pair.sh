# Sourced by the recording scripts. Sets up two private network namespaces $S (server, 198.18.0.1
# on vs$$) and $C (client, 198.18.0.2 on vc$$) joined by a 1500-MTU veth pair with offloads off,
# so that frames are recorded as they would go on a wire; neither address is routed anywhere.
# The caller names S and C and removes both namespaces when done (ip netns del).
ip netns add $S; ip netns add $C
ip link add vs$$ type veth peer name vc$$
ip link set vs$$ netns $S; ip link set vc$$ netns $C
ip -n $S addr add 198.18.0.1/24 dev vs$$; ip -n $C addr add 198.18.0.2/24 dev vc$$
for ns in $S $C; do ip -n $ns link set lo up; done
ip -n $S link set vs$$ mtu 1500 up; ip -n $C link set vc$$ mtu 1500 up
ip netns exec $S ethtool -K vs$$ tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
ip netns exec $C ethtool -K vc$$ tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
