// Import stubs and jump thunks: where an imported entry really leads.
#pragma once

// Follows `jmp [abs32]` stubs, bare or after the hot-patch frame
// `mov edi,edi; push ebp; mov ebp,esp; pop ebp`, from entry to the function
// that does the work. Returns entry itself when it is no such stub.
void *FollowJumpThunks(void *entry);
