#include "engine/UTFilter.h"

#include "engine/UTSyncTask.h"
#include "model/UTConsts.h"
#include "model/UTFileAttri.h"
#include "model/UTPublicFunc.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>

namespace bfs {

namespace {

std::string PcreMessage(int Code) {
    PCRE2_UCHAR buffer[256];
    const int len = pcre2_get_error_message(Code, buffer, sizeof buffer);
    if (len < 0) return "error " + std::to_string(Code);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(len));
}

void AppendMaskPattern(std::string& Out, std::string_view Mask) {
    for (const char c : Mask) {
        if (c == '*')
            Out.append(".*");
        else if (c == '\\')
            Out.append("\\\\");
        else
            Out.push_back(c);
    }
}

bool IsBlankMask(std::string_view Mask) {
    return Trim(Mask).empty();
}

}  // namespace

// One compiled pattern with its match buffer.
class TFileFilter::TRegex {
  public:
    ~TRegex() {
        if (m_MatchData) pcre2_match_data_free(m_MatchData);
        if (m_Code) pcre2_code_free(m_Code);
    }

    // Compiles Pattern; on failure returns false with PCRE2's message and the offset in Error.
    // Without Jit the pattern is only checked, never matched.
    bool Compile(const std::string& Pattern, std::string& Error, bool Jit = true) {
        int code = 0;
        PCRE2_SIZE offset = 0;
        // UTF mode so that "." and classes step over whole characters; names that are not valid
        // UTF-8 (legal on Linux) are still matched instead of failing.
        m_Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Pattern.data()), Pattern.size(),
                               PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &code, &offset, nullptr);
        if (!m_Code) {
            Error = PcreMessage(code) + " at offset " + std::to_string(offset);
            return false;
        }
        if (!Jit) return true;
        pcre2_jit_compile(m_Code, PCRE2_JIT_COMPLETE);  // the interpreter serves when JIT is unavailable
        m_MatchData = pcre2_match_data_create_from_pattern(m_Code, nullptr);
        if (!m_MatchData) {
            Error = "out of memory";
            return false;
        }
        return true;
    }

    // 1 when the pattern occurs in Subject, 0 when not, -1 when the matcher gave up (match limits).
    int Search(std::string_view Subject) const {
        const int rc = pcre2_match(m_Code, reinterpret_cast<PCRE2_SPTR>(Subject.data()), Subject.size(), 0, 0,
                                   m_MatchData, nullptr);
        if (rc >= 0) return 1;
        return rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
    }

  private:
    pcre2_code* m_Code = nullptr;
    pcre2_match_data* m_MatchData = nullptr;
};

// The masks of one kind, joined into as few patterns as the matcher takes: a pattern's compiled form
// has a size limit (a few thousand masks), so a long list is split into several patterns, and a path
// matches when any of them occurs in it, just as with one joined pattern.
class TFileFilter::TPatternSet {
  public:
    // Compiles the masks of both lists (blank ones dropped); false with PCRE2's message in Error.
    bool Compile(const std::vector<std::string>& TaskMasks, const std::vector<std::string>& GlobalMasks,
                 std::string& Error) {
        std::string pattern;
        const auto flush = [&] {
            if (pattern.empty()) return true;
            auto regex = std::make_unique<TRegex>();
            if (!regex->Compile(pattern, Error)) return false;
            m_Parts.push_back(std::move(regex));
            pattern.clear();
            return true;
        };
        for (const auto* list : {&TaskMasks, &GlobalMasks}) {
            for (const std::string& mask : *list) {
                if (IsBlankMask(mask)) continue;
                if (pattern.size() >= PATTERN_PART_SIZE && !flush()) return false;
                if (!pattern.empty()) pattern.push_back('|');
                AppendMaskPattern(pattern, mask);
            }
        }
        return flush();
    }
    bool Empty() const noexcept { return m_Parts.empty(); }
    // 1 when a mask occurs in Subject, 0 when none does, -1 when the matcher gave up on a part and
    // no other part matched.
    int Search(std::string_view Subject) const {
        int result = 0;
        for (const auto& part : m_Parts) {
            const int rc = part->Search(Subject);
            if (rc == 1) return 1;
            if (rc < 0) result = -1;
        }
        return result;
    }

  private:
    // Pattern text per part: well below what the compiled form may hold.
    static constexpr std::size_t PATTERN_PART_SIZE = 8192;
    std::vector<std::unique_ptr<TRegex>> m_Parts;
};

std::string TFileFilter::BuildPattern(const std::vector<std::string>& TaskMasks,
                                      const std::vector<std::string>& GlobalMasks) {
    std::string pattern;
    for (const auto* list : {&TaskMasks, &GlobalMasks}) {
        for (const std::string& mask : *list) {
            if (IsBlankMask(mask)) continue;
            if (!pattern.empty()) pattern.push_back('|');
            AppendMaskPattern(pattern, mask);
        }
    }
    return pattern;
}

TFileFilter::TFileFilter(const TSyncTask& Task, const std::vector<std::string>& GlobalInclude,
                         const std::vector<std::string>& GlobalExclude)
    : m_ExcludeEmtpyFolder(Task.ExcludeEmtpyFolder),
      m_ExcludeHiddenFile(Task.ExcludeHiddenFile),
      m_ExcludeSystemFile(Task.ExcludeSystemFile),
      m_IncludeFileTimeMin(Task.IncludeFileTimeMin),
      m_IncludeFileTimeMax(Task.IncludeFileTimeMax),
      m_ExcludeFileTimeMin(Task.ExcludeFileTimeMin),
      m_ExcludeFileTimeMax(Task.ExcludeFileTimeMax),
      m_IncludeFileSizeMin(Task.IncludeFileSizeMin),
      m_IncludeFileSizeMax(Task.IncludeFileSizeMax),
      m_ExcludeFileSizeMin(Task.ExcludeFileSizeMin),
      m_ExcludeFileSizeMax(Task.ExcludeFileSizeMax) {
    m_Include = std::make_unique<TPatternSet>();
    m_Exclude = std::make_unique<TPatternSet>();
    m_IncludePattern = BuildPattern(Task.IncludeFilter, GlobalInclude);
    m_ExcludePattern = BuildPattern(Task.ExcludeFilter, GlobalExclude);

    // Each mask is compiled on its own first, so that an error names the mask the user wrote rather
    // than a position in the joined pattern.
    const struct {
        const char* Kind;
        const std::vector<std::string>* Lists[2];
    } kinds[] = {{"include", {&Task.IncludeFilter, &GlobalInclude}},
                 {"exclude", {&Task.ExcludeFilter, &GlobalExclude}}};
    for (const auto& kind : kinds) {
        for (const auto* list : kind.Lists) {
            for (const std::string& mask : *list) {
                if (IsBlankMask(mask)) continue;
                std::string pattern, error;
                AppendMaskPattern(pattern, mask);
                TRegex probe;
                if (!probe.Compile(pattern, error, false)) {
                    m_ErrorText = std::string("The ") + kind.Kind + " mask \"" + mask +
                                  "\" is not a valid pattern: " + error;
                    return;
                }
            }
        }
    }

    // The joined patterns are shown only in part: a long mask list makes them megabytes long.
    const auto shown = [](const std::string& Pattern) {
        constexpr std::size_t SHOWN = 200;
        return Pattern.size() <= SHOWN ? Pattern : Pattern.substr(0, SHOWN) + "...";
    };
    std::string error;
    if (!m_Include->Compile(Task.IncludeFilter, GlobalInclude, error)) {
        m_ErrorText =
            "The include masks do not form a valid pattern \"" + shown(m_IncludePattern) + "\": " + error;
        return;
    }
    if (!m_Exclude->Compile(Task.ExcludeFilter, GlobalExclude, error)) {
        m_ErrorText =
            "The exclude masks do not form a valid pattern \"" + shown(m_ExcludePattern) + "\": " + error;
        return;
    }
}

TFileFilter::~TFileFilter() = default;

int32_t TFileFilter::FilterNode(const TFileTree& Node) const {
    const TFileAttri* data = Node.Data;
    if (!data) return ACTION_EXCLUDED;

    std::string path = data->Path + Node.Name;
    std::replace(path.begin(), path.end(), '/', '\\');

    int32_t state = ACTION_INCLUDED;
    if (!m_Include->Empty()) {
        state = m_Include->Search(path) == 1 ? ACTION_INCLUDED : ACTION_EXCLUDED;
        if (state == ACTION_INCLUDED && !m_Exclude->Empty() && m_Exclude->Search(path) != 0)
            state = ACTION_EXCLUDED;
    } else if (!m_Exclude->Empty()) {
        state = m_Exclude->Search(path) != 0 ? ACTION_EXCLUDED : ACTION_INCLUDED;
    }

    // Limits apply to files only. A date limit is unset only as FILE_TIME_UNSET (later dates are
    // negative as int32) and compares as an unsigned DOS date-time; a size limit below 0 is unset.
    if (data->IsFolder == 0) {
        const int32_t date = data->FileDate;
        const int64_t size = data->Size;
        // An entry outside the exclude ranges is let through, whichever mask rule excluded it...
        if (state == ACTION_EXCLUDED &&
            ((m_ExcludeFileTimeMin != FILE_TIME_UNSET && CompareFileDates(m_ExcludeFileTimeMin, date) > 0) ||
             (m_ExcludeFileTimeMax != FILE_TIME_UNSET && CompareFileDates(m_ExcludeFileTimeMax, date) < 0) ||
             (m_ExcludeFileSizeMin >= 0 && m_ExcludeFileSizeMin > size) ||
             (m_ExcludeFileSizeMax >= 0 && size > m_ExcludeFileSizeMax)))
            state = ACTION_INCLUDED;
        // ...and the include ranges hold for every entry still included, let through or not.
        if (state == ACTION_INCLUDED &&
            ((m_IncludeFileTimeMin != FILE_TIME_UNSET && CompareFileDates(m_IncludeFileTimeMin, date) > 0) ||
             (m_IncludeFileTimeMax != FILE_TIME_UNSET && CompareFileDates(m_IncludeFileTimeMax, date) < 0) ||
             (m_IncludeFileSizeMin >= 0 && m_IncludeFileSizeMin > size) ||
             (m_IncludeFileSizeMax >= 0 && size > m_IncludeFileSizeMax)))
            state = ACTION_EXCLUDED;
    }

    // Attribute options, files and folders, only ever toward excluded.
    if ((m_ExcludeEmtpyFolder == 1 && data->IsFolder != 0 && Node.ChildCount == 0) ||
        (m_ExcludeHiddenFile == 1 && (data->Attr & FILE_ATTRIBUTE_HIDDEN) != 0) ||
        (m_ExcludeSystemFile == 1 && (data->Attr & FILE_ATTRIBUTE_SYSTEM) != 0))
        state = ACTION_EXCLUDED;
    return state;
}

void TFileFilter::ApplyFilters(TFileTree& Node) const {
    if (Node.Children.empty()) {
        Node.SetFilterState(FilterNode(Node));
        return;
    }
    std::vector<TFileTree*> pending{&Node};
    while (!pending.empty()) {
        TFileTree* node = pending.back();
        pending.pop_back();
        for (const TFileTreeRef& child : node->Children) {
            child->SetFilterState(FilterNode(*child));
            if (!child->Children.empty()) pending.push_back(child.get());
        }
    }
}

}  // namespace bfs
