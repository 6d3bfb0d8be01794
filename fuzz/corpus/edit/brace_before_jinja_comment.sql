select b, a{# j #}
-- +