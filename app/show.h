// show.h: --show NAME [--hex]: prints the capture NAME as a view (view.h),
// with the times and gaps of its index NAME.times where there is one; opens
// no port, writes no file. 0, or 1 with a line when the capture cannot be read.
#pragma once

int ShowCapture(const char* name, bool hex);
