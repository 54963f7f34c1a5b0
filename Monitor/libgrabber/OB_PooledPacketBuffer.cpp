#include "OB_PooledPacketBuffer.h"

template class OB_PooledPacketBuffer<32>;
template class OB_PooledPacketBuffer<64>;
template class OB_PooledPacketBuffer<128>;
template class OB_PooledPacketBuffer<256>;
template class OB_PooledPacketBuffer<512>;
template class OB_PooledPacketBuffer<1024>;
template class OB_PooledPacketBuffer<1460>;
