#pragma once

#include "model/UTFileTree.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

class TSyncTask;

// The filter of a task: include and exclude masks (the task's own followed by the program-wide ones),
// date and size limits and attribute options, judged per entry. The analysis applies it to its result
// and the plan view builds one for re-filtering after the user adds a mask; both use this class, so
// both give the same states.
//
// Masks are joined into one regular expression per kind ("*.tmp" and "*.bak" give ".*.tmp|.*.bak"):
// "*" becomes ".*" and "\" becomes "\\"; everything else keeps its regular-expression meaning. A mask
// that is blank is dropped (it would match every path). Patterns are compiled once, by the
// constructor; when one does not compile, Ok() is false, ErrorText() names the mask, and the filter
// must not be used. Matching is a case-sensitive search anywhere in the path "\docs\a.txt" (the
// entry's Path and Name with every "/" shown as "\", the form the stored masks are written for).
//
// One filter object is used by one thread at a time (it keeps one match buffer).
class TFileFilter {
  public:
    TFileFilter(const TSyncTask& Task, const std::vector<std::string>& GlobalInclude,
                const std::vector<std::string>& GlobalExclude);
    ~TFileFilter();
    TFileFilter(const TFileFilter&) = delete;
    TFileFilter& operator=(const TFileFilter&) = delete;

    bool Ok() const noexcept { return m_ErrorText.empty(); }
    const std::string& ErrorText() const noexcept { return m_ErrorText; }
    const std::string& IncludePattern() const noexcept { return m_IncludePattern; }
    const std::string& ExcludePattern() const noexcept { return m_ExcludePattern; }

    // ACTION_INCLUDED or ACTION_EXCLUDED for one entry (a node without Data is excluded). An entry
    // whose path a pattern cannot be matched against (the matcher gave up) is excluded.
    int32_t FilterNode(const TFileTree& Node) const;
    // Sets the filter state of every node below Node (each judged by itself: an excluded folder does
    // not exclude its children); a node without children is judged itself. Not recursive.
    void ApplyFilters(TFileTree& Node) const;

    // The pattern text of a list of masks: the task's masks then the global ones, blank masks
    // dropped, joined by "|", with "*" as ".*" and "\" as "\\". Empty when no mask is left.
    static std::string BuildPattern(const std::vector<std::string>& TaskMasks,
                                    const std::vector<std::string>& GlobalMasks);

  private:
    class TRegex;
    class TPatternSet;

    std::string m_IncludePattern;
    std::string m_ExcludePattern;
    std::unique_ptr<TPatternSet> m_Include;  // made by the constructor (possibly empty)
    std::unique_ptr<TPatternSet> m_Exclude;
    std::string m_ErrorText;
    int32_t m_ExcludeEmtpyFolder;
    int32_t m_ExcludeHiddenFile;
    int32_t m_ExcludeSystemFile;
    int32_t m_IncludeFileTimeMin, m_IncludeFileTimeMax;
    int32_t m_ExcludeFileTimeMin, m_ExcludeFileTimeMax;
    int64_t m_IncludeFileSizeMin, m_IncludeFileSizeMax;
    int64_t m_ExcludeFileSizeMin, m_ExcludeFileSizeMax;
};

}  // namespace bfs
