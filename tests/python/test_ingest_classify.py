"""The default knowledge type: one passage shaped like each kind, and the cues' order."""

import pytest

from revuradova.ingest import Passage, Position
from revuradova.ingest.classify import default_knowledge_type


def passage(body, path="docs/handbook.txt", headings=(), kind="text"):
    return Passage(path, path, 0, "local_file", "reference", "d", headings, body, Position(), kind)


@pytest.mark.parametrize(
    ("expected", "body", "extra"),
    [
        ("data", "name: Ann", {"kind": "table"}),
        ("code", "x = 1", {"path": "src/tool.py"}),
        ("discussion", "Fixed the login bug.", {"path": "CHANGELOG.md"}),
        ("procedure", "Open the app.", {"headings": ("How to submit an expense report",)}),
        ("procedure", "1. Open the expenses app.\n2. Attach the receipts.\n3. Submit.", {}),
        ("procedure", "Then:\n```bash\npip install revuradova\n```", {}),
        ("code", "Example:\n```python\nprint(1)\n```", {}),
        ("discussion", "- [parser] Fixed a crash (#1234).\n- [cli] Added --quiet (#1240).", {}),
        ("definition", '"Licensor" shall mean the copyright owner granting the License.', {}),
        ("policy", "Employees must not share passwords. Violations are reported to compliance "
                   "and access is prohibited until review; staff are required to comply.", {}),
        ("policy", "THE SOFTWARE IS PROVIDED AS IS, WITHOUT WARRANTY OF ANY KIND. IN NO EVENT "
                   "SHALL THE COPYRIGHT HOLDERS BE LIABLE FOR ANY DAMAGES.", {}),
        ("data", "Name: billing-api\nOwner: payments\nTier: 1\nRegion: eu-west", {}),
        ("definition", "Churn rate is the share of customers who leave in a period.", {}),
        ("definition", "Some text.", {"headings": ("Glossary",)}),
        ("reference", "The office is open from nine to five and has a canteen.", {}),
    ],
)  # fmt: skip
def test_default_types(expected, body, extra):
    assert default_knowledge_type(passage(body, **extra)) == expected
