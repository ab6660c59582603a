"""`make demo`'s Python part: the editing API on copies of the examples,
given as arguments (the demo's directory)."""

import sys
from pathlib import Path

import props_to_tree

directory = Path(sys.argv[1])

with props_to_tree.edit(directory / "deployment.yaml") as doc:
    web = "[kind=Deployment].spec.template.spec.containers[name=web]"
    print("image was", doc[f"{web}.image"])
    doc[f"{web}.image"] = "nginx:1.28"
    doc[f"{web}.env"] = [{"name": "MODE", "value": "live"}]
    doc["[kind=Deployment].spec.replicas"] = 4
    del doc["[kind=Deployment].spec.template.spec.tolerations"]

with props_to_tree.edit(directory / "service.toml") as doc:
    doc["db.pool.max"] += 10
    doc.set("db.pool.timeout", 2.5)

deployment = props_to_tree.Document((directory / "deployment.yaml").read_text(), "yaml")
assert deployment["[0].spec.replicas"] == 4
assert "# pinned" in deployment.text  # the comment on the image's line stays
print(dict(deployment.find("[*].spec.template.spec.containers[*].image")))
print((directory / "service.toml").read_text().split("[db.pool]")[1])
