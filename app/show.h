// show.h: --show NAME [NAME ...] [--hex] [--follow]: prints each capture as
// a view (view.h), with the times and gaps of its index NAME.times where
// there is one, in recording order; opens no port, writes no file. 0, or 1
// with a line when a capture cannot be read. With `follow` the last one is
// followed as it grows, across its run's seams and moves, until a key or a
// stop (the console started for them).
#pragma once
#include <string>
#include <vector>

int ShowCaptures(const std::vector<const char*>& names, bool hex, bool follow = false);

// Where a name stands among the captures of one log: NAME.N is the Nth
// earlier one (N from 1), NAME itself 0 (the newest); `stem` is NAME. A name
// without such a number is a log of its own (0).
long CaptureNumber(const std::string& name, std::string& stem);
