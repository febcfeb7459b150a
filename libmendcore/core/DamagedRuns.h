// The damaged runs of a linear scan: stretches of input from the first
// position where no unit of the container parses to the next one where a
// unit does. A scan marks each position it judged; the runs come out in
// input order, each as a -20 record with its byte range.
#ifndef MENDCORE_DAMAGEDRUNS_H
#define MENDCORE_DAMAGEDRUNS_H

#include <stdint.h>

#include <utility>
#include <vector>

class CDamagedRuns {
public:
    // Nothing parses at pos: opens a run there unless one is open.
    void Bad(int64_t pos)
    {
        if (m_open < 0)
            m_open = pos;
    }
    // A unit parses at pos: closes an open run there.
    void Good(int64_t pos)
    {
        if (m_open >= 0 && pos > m_open)
            m_runs.emplace_back(m_open, pos);
        m_open = -1;
    }
    const std::vector<std::pair<int64_t, int64_t>>& Runs() const { return m_runs; }
    void Clear()
    {
        m_runs.clear();
        m_open = -1;
    }

private:
    std::vector<std::pair<int64_t, int64_t>> m_runs;
    int64_t m_open = -1;
};

#endif
