#include "run/run_context.h"

std::atomic<int> runflag{0};
std::atomic<int> runstate{0};
int mainpanel = 0;
int prgpanel = 0;
int threadid = 0;
int comport = 0;
int baudrate = 0;
// NOLINTBEGIN(modernize-avoid-c-arrays): the run context keeps the design's C buffers
char filename[260] = {};
int filetype = 0;
const int loadersize = 4096;
unsigned char loaderimage[16384] = {};
char loaderpath[100] = {};
// NOLINTEND(modernize-avoid-c-arrays)
unsigned loaderaddr = 0;
unsigned loaderlen = 0;
std::atomic<int> okcount{0};
int blstatus = 0;
