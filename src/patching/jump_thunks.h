// Import stubs and jump thunks: where an imported entry really leads.
#pragma once

// Follows `jmp [abs32]` stubs, bare or after the hot-patch frame
// `mov edi,edi; push ebp; mov ebp,esp; pop ebp`, from entry to the function
// that does the work. x64: `jmp [rip+disp32]` stubs (REX.W or not), bare or
// after Wine's hot-patch `lea rsp,[rsp+0]` (48 8D A4 24 00000000). Returns
// entry itself when it is no such stub.
void *FollowJumpThunks(void *entry);
