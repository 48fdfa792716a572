// Asking the system to pass received bytes on at once, for the receive
// rule's 20 ms gap. Kept apart from the rest of the POSIX port code because
// what there is to ask for is specific to the kernel.
#pragma once

// Asks the driver of terminal |fd| for low-latency mode, where it offers
// one: USB serial adapters otherwise hold received bytes for their latency
// timer (16 ms on many) before passing them on. A driver that has no such
// mode, or refuses it, is no failure; errno is left as it was.
void RequestLowLatency(int fd);

// Lets the calling thread's timed waits end when they are due rather than
// up to 50 us later, which the kernel allows by default to gather wake-ups.
// Every reply ends with such a wait. Leaves errno as it was.
void TightenTimerSlack();
