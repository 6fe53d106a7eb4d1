// Saves a long recording over argv[1], saying "saving" first, so a test can kill it
// in the middle of the write.
#include "content.h"

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    Content content;
    if (!content.openFile(QString::fromLocal8Bit(argv[1])) || !content.beginTake(0))
        return 1;
    const std::vector<float> chunk(1 << 20, 0.25f);
    for (qint64 done = 0; done < V9_SAVECHILD_FRAMES; done += qint64(chunk.size()))
        content.appendTake(chunk.data(), qMin<qint64>(qint64(chunk.size()), V9_SAVECHILD_FRAMES - done));
    std::printf("saving\n");
    std::fflush(stdout);
    QString error;
    return content.save(&error) ? 0 : 1;
}
