#pragma once
// The upper halves of the x86 vector registers, which OpenSSL's AVX2 and AVX-512 routines may
// leave in use (its Poly1305 does, when it makes a tag). On Intel processors every legacy SSE
// instruction that runs while they are in use pays for it, in OpenSSL's own code and in ours
// alike, until something clears them: on a Xeon with AVX-512 the code between making an audio
// packet's tag and scrubbing the context (whose own ChaCha20 block clears them again) took a
// quarter of the packet's sealing time. Code compiled for plain x86-64 never holds a value there.

namespace kestrune::engine {

// Marks the upper halves of the vector registers unused (VZEROUPPER) on an x86-64 processor with
// AVX; does nothing elsewhere. The low 128 bits of every register are kept.
void clear_upper_vector_registers();

}  // namespace kestrune::engine
