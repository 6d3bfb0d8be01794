{% if x %}select a{% else %}select b{% endif %}
-- ‚