#include "library/Register.h"

#include <algorithm>
#include <map>
#include <string>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace tallymere {

namespace {

std::string composed(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return text;
    const icu::UnicodeString normal = nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
    if (U_FAILURE(status)) return text;
    std::string out;
    normal.toUTF8String(out);
    return out;
}

// Present first, then by composed name; UTF-8 bytes compare in code-point order.
template <typename Line, typename ResultOf>
void sortLines(std::vector<Line>& lines, const std::vector<Member>& members, ResultOf resultOf) {
    std::map<std::string, std::string, std::less<>> names;
    for (const Member& member : members)
        names.emplace(member.id, composed(member.name));
    auto nameOf = [&](const MemberResult& r) -> const std::string& {
        static const std::string none;
        auto it = names.find(r.memberID);
        return it == names.end() ? none : it->second;
    };
    std::stable_sort(lines.begin(), lines.end(), [&](const Line& a, const Line& b) {
        const MemberResult& ra = resultOf(a);
        const MemberResult& rb = resultOf(b);
        if (ra.present != rb.present) return ra.present;
        return nameOf(ra) < nameOf(rb);
    });
}

const Visitor* findVisitor(const std::vector<Visitor>& visitors, const std::string& id) {
    for (const Visitor& visitor : visitors)
        if (visitor.id == id) return &visitor;
    return nullptr;
}

} // namespace

void sortForRegister(std::vector<MemberResult>& results, const std::vector<Member>& members) {
    sortLines(results, members, [](const MemberResult& r) -> const MemberResult& { return r; });
}

int Register::present() const {
    return int(std::count_if(lines.begin(), lines.end(),
                             [](const RegisterLine& l) { return l.result.present; }));
}

int Register::absent() const {
    return int(lines.size()) - present();
}

int Register::needsReview() const {
    return int(std::count_if(lines.begin(), lines.end(),
                             [](const RegisterLine& l) { return l.result.needsReview; }));
}

Register correctedRegister(const Service& service, const std::vector<Member>& members) {
    Register shown;
    if (!service.results) return shown;
    const Corrections& corrections = service.corrections;
    const std::vector<Visitor>& visitors = service.results->visitors;

    bool moved = false;
    shown.lines.reserve(service.results->members.size());
    for (const MemberResult& automatic : service.results->members) {
        RegisterLine line{automatic, std::nullopt, std::nullopt, std::nullopt};
        MemberResult& result = line.result;
        if (automatic.present) line.confidence = automatic.confidence;
        if (const VisitorLink* link = corrections.visitorNamed(automatic.memberID))
            if (const Visitor* visitor = findVisitor(visitors, link->visitorID))
                line.visitor = *visitor;
        if (const MemberCorrection* correction = corrections.member(automatic.memberID)) {
            line.correction = *correction;
            result.needsReview = false;
            switch (correction->decision) {
            case MemberCorrection::Decision::confirmed:
                result.reviewReason = confirmedReason;
                break;
            case MemberCorrection::Decision::present:
                result.reviewReason = markedPresentReason;
                if (automatic.present) break;
                result.present = true;
                result.firstSeen.reset();
                result.lastSeen.reset();
                result.sightings = 0;
                result.evidenceFile.reset();
                if (line.visitor) {
                    result.firstSeen = line.visitor->firstSeen;
                    result.sightings = line.visitor->sightings;
                    result.evidenceFile = line.visitor->imageFile;
                }
                break;
            case MemberCorrection::Decision::absent:
                result.reviewReason = markedAbsentReason;
                // What was seen was someone else, so none of it is the member's.
                result.present = false;
                line.confidence.reset();
                result.firstSeen.reset();
                result.lastSeen.reset();
                result.sightings = 0;
                result.evidenceFile.reset();
                break;
            }
        }
        moved = moved || result.present != automatic.present;
        shown.lines.push_back(std::move(line));
    }
    for (const Visitor& visitor : visitors) {
        const VisitorLink* link = corrections.visitor(visitor.id);
        if (!link) shown.visitors.push_back(visitor);
    }
    if (moved)
        sortLines(shown.lines, members,
                  [](const RegisterLine& l) -> const MemberResult& { return l.result; });
    return shown;
}

} // namespace tallymere
