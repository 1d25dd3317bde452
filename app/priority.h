// priority.h: keeps the reading thread on time at the highest rates.
#pragma once

// Raises the process and its thread as far as the system allows; a refusal is ignored.
void RaisePriority();
